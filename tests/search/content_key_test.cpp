// Content keys: the MD5 vectors of RFC 1321, and files that are equal but for one
// byte at the key and buffer boundaries.
#include "search/content_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/piece_read.h"
#include "search/md5.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;
using testing::WritePattern;

// The digest of `data` as the product's digest object gives it.
std::string Md5Hex(std::string_view data) {
    Md5 md5;
    md5.Begin();
    md5.Update(data.data(), data.size());
    const ContentKey key = md5.FinishKey();
    return std::string(key.bytes.begin(), key.bytes.end());
}

TEST(Md5, Rfc1321Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : vectors) EXPECT_EQ(Md5Hex(input), digest) << input;
}

enum class Where { First, Middle, Last };

struct BoundaryCase {
    size_t size;
    Where where;
};

class NearTwins : public ::testing::TestWithParam<BoundaryCase> {};

// Two copies and a near twin that differs in one byte: only the copies form a set,
// whatever the size is relative to the raw-key limit, the end blocks and the buffer.
TEST_P(NearTwins, OnlyTheExactCopiesFormASet) {
    const auto [size, where] = GetParam();
    const size_t flip = where == Where::First ? 0 : where == Where::Middle ? size / 2 : size - 1;
    TempDir dir;
    const auto& root = dir.Path();
    WritePattern(root / "a", size, 7);
    WritePattern(root / "sub/b", size, 7);
    WritePattern(root / "c", size, 7, flip);
    for (int threads : {1, 3}) {
        SearchEngine engine;
        engine.settings = SettingsFor({root.string()});
        engine.tuning.hashThreads = threads;
        engine.tuning.readBufferSize = 16384;
        engine.tuning.prefixSize = 4096;
        RunSearchToEnd(engine);
        const auto sets = DeliveredSets(engine);
        ASSERT_EQ(sets.size(), 1u) << "size " << size;
        EXPECT_EQ(
            testing::Unordered(sets),
            (std::set<std::set<std::string>>{{(root / "a").string(), (root / "sub/b").string()}}));
        const auto lock = engine.LockGroups();
        EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "");
    }
}

std::vector<BoundaryCase> BoundaryCases() {
    std::vector<BoundaryCase> cases;
    for (size_t size :
         {1, 2, 31, 32, 33, 4095, 4096, 4097, 8191, 8192, 8193, 16383, 16384, 16385, 40000}) {
        for (Where where : {Where::First, Where::Middle, Where::Last})
            cases.push_back({size, where});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Boundaries, NearTwins, ::testing::ValuesIn(BoundaryCases()));

TEST(ContentKeys, RawUpTo32BytesAndMd5TextAbove) {
    TempDir dir;
    const std::string raw32(32, 'k');
    const std::string md5_33(33, 'k');
    for (const char* name : {"a32", "b32"}) dir.Write(name, raw32);
    for (const char* name : {"a33", "b33"}) dir.Write(name, md5_33);
    // Twenty bytes that differ only after a zero byte are different files.
    dir.Write("z1", std::string("abc\0def-ghijklmnopq1", 20));
    dir.Write("z2", std::string("abc\0def-ghijklmnopq2", 20));
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    RunSearchToEnd(engine);
    const auto lock = engine.LockGroups();
    ASSERT_EQ(engine.groups.size(), 2u);
    EXPECT_EQ(engine.groups[0].size, 32u);
    EXPECT_EQ(engine.groups[0].members[0].key, ContentKey::FromText(raw32));
    EXPECT_EQ(engine.groups[1].size, 33u);
    EXPECT_EQ(engine.groups[1].members[0].key, ContentKey::FromText(Md5Hex(md5_33)));
    EXPECT_EQ(ContentKey::FromText(engine.groups[1].members[0].key.ToText()),
              engine.groups[1].members[0].key);
}

// One pass over a reference compares every member with it: only exact copies come out
// equal, a member that cannot be read or has another size is told apart, the digest
// is the reference's key, and a reference that cannot be read makes no member equal.
// Members that differ alike carry the same divergence, others another one.
TEST(ContentKeys, OneReadOfTheReferenceComparesEveryMember) {
    TempDir dir;
    const std::string r = dir.Path().string() + "/";
    constexpr size_t kSize = 10000;
    WritePattern(r + "reference", kSize, 4);
    WritePattern(r + "copy", kSize, 4);
    WritePattern(r + "middle", kSize, 4, kSize / 2);
    WritePattern(r + "last", kSize, 4, kSize - 1);
    WritePattern(r + "longer", kSize + 1, 4);
    WritePattern(r + "unreadable", kSize, 4);
    WritePattern(r + "middle again", kSize, 4, kSize / 2);
    HashScratch scratch;
    scratch.buffer.resize(4096);
    scratch.other.resize(4096);
    const IoFaultHook fault = [](const std::string& path, IoStep step) {
        return step == IoStep::Read && path.find("unreadable") != std::string::npos ? EIO : 0;
    };
    ReadContext context;
    context.faultHook = &fault;
    std::vector<CompareMember> members;
    for (const char* name : {"copy", "middle", "last", "longer", "unreadable", "middle again"}) {
        members.push_back({r + name});
    }
    ContentKey key;
    bool keyed = false;
    ASSERT_EQ(CompareWithReference(r + "reference", kSize, ReferenceDigest::WhileEqual, members,
                                   scratch, context, key, keyed),
              0);
    std::vector<std::pair<bool, int>> outcomes;
    outcomes.reserve(members.size());
    for (const CompareMember& member : members) outcomes.emplace_back(member.equal, member.error);
    EXPECT_EQ(outcomes, (std::vector<std::pair<bool, int>>{{true, 0},
                                                           {false, 0},
                                                           {false, 0},
                                                           {false, kContentChanged},
                                                           {false, EIO},
                                                           {false, 0}}));
    EXPECT_EQ(members[1].divergence, members[5].divergence);
    EXPECT_NE(members[1].divergence, members[2].divergence);
    ContentKey alone;
    ASSERT_TRUE(keyed);
    ASSERT_EQ(ComputeKey(r + "copy", kSize, scratch, context, alone), 0);
    EXPECT_EQ(key, alone);

    const IoFaultHook reference_fault = [](const std::string& path, IoStep) {
        return path.find("reference") != std::string::npos ? EACCES : 0;
    };
    context.faultHook = &reference_fault;
    EXPECT_EQ(CompareWithReference(r + "reference", kSize, ReferenceDigest::None, members, scratch,
                                   context, key, keyed),
              EACCES);
    for (const CompareMember& member : members) EXPECT_FALSE(member.equal) << member.path;
}

// The reference is read and digested only as far as a member still equals it, unless
// its key is wanted anyway.
TEST(ContentKeys, AReferenceNoMemberEqualsIsNotReadToTheEnd) {
    TempDir dir;
    const std::string r = dir.Path().string() + "/";
    constexpr size_t kSize = 40000;
    WritePattern(r + "reference", kSize, 9);
    WritePattern(r + "first", kSize, 9, 0);
    HashScratch scratch;
    scratch.buffer.resize(4097);
    scratch.other.resize(4097);
    ReadContext context;
    std::vector<CompareMember> members{{r + "first"}};
    ContentKey key;
    bool keyed = true;
    ASSERT_EQ(CompareWithReference(r + "reference", kSize, ReferenceDigest::WhileEqual, members,
                                   scratch, context, key, keyed),
              0);
    EXPECT_FALSE(keyed);
    EXPECT_FALSE(members[0].equal);
    EXPECT_EQ(context.bytesRead, 2 * 4096u);

    context.bytesRead = 0;
    ASSERT_EQ(CompareWithReference(r + "reference", kSize, ReferenceDigest::Always, members,
                                   scratch, context, key, keyed),
              0);
    EXPECT_TRUE(keyed);
    EXPECT_EQ(context.bytesRead, kSize + 4096u);
    ContentKey alone;
    ASSERT_EQ(ComputeKey(r + "reference", kSize, scratch, context, alone), 0);
    EXPECT_EQ(key, alone);
}

TEST(ContentKeys, EmptyFilesAreOneSetInTheOrderFound) {
    TempDir dir;
    dir.Write("e1", "");
    dir.Write("d/e2", "");
    dir.Write("d/d/e3", "");
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    RunSearchToEnd(engine);
    const auto sets = DeliveredSets(engine);
    ASSERT_EQ(sets.size(), 1u);
    const std::string root = dir.Path().string();
    EXPECT_EQ(sets[0], (std::vector<std::string>{root + "/e1", root + "/d/e2", root + "/d/d/e3"}));
    EXPECT_EQ(engine.duplicateNumber.load(), 3);
    EXPECT_EQ(engine.bytesRead.load(), 0u);
}

// Fingerprints read many files at once are those read one file at a time, at the
// block boundaries too; a file whose size changed since it was listed, one that is
// gone, and a FIFO or a folder now at a listed name answer as they do one by one.
// (Paths too long for one open are read one by one; the 2,000-folder walk test meets
// them.)
TEST(ContentKeys, FingerprintsReadTogetherAreThoseReadOneByOne) {
    TempDir dir;
    constexpr size_t kBlock = 4096;
    const FileLen sizes[] = {33, 4095, 4096, 4097, 8191, 8192, 8193, 70000};
    std::vector<FingerprintRead> reads;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        FingerprintRead read;
        read.path = dir.Write("f" + std::to_string(i), std::string(sizes[i], 'a')).string();
        WritePattern(read.path, sizes[i], static_cast<uint32_t>(i));
        read.size = sizes[i];
        reads.push_back(read);
    }
    FingerprintRead grown = reads[3];
    grown.size -= 1;  // listed one byte shorter than it is
    reads.push_back(grown);
    FingerprintRead gone;
    gone.path = (dir.Path() / "gone").string();
    gone.size = 5000;
    reads.push_back(gone);
    FingerprintRead shrunk = reads[7];
    shrunk.size += 1;  // listed one byte longer than it is
    reads.push_back(shrunk);
    FingerprintRead fifo;
    fifo.path = (dir.Path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    fifo.size = 5000;
    reads.push_back(fifo);
    FingerprintRead folder;
    folder.path = (dir.Path() / "folder").string();
    std::filesystem::create_directory(folder.path);
    folder.size = 5000;
    reads.push_back(folder);

    std::vector<uint8_t> blocks(reads.size() * (kBlock + 1));
    std::vector<uint8_t> spare(reads.size() * (kBlock + 1));
    for (size_t i = 0; i < reads.size(); ++i) reads[i].block = blocks.data() + i * (kBlock + 1);
    ReadContext together;
    ComputeFingerprints(reads, kBlock, spare.data(), together);

    ReadContext alone;
    uint64_t read_alone = 0;
    for (const FingerprintRead& read : reads) {
        SCOPED_TRACE(read.path.substr(read.path.size() - 8) + " " + std::to_string(read.size));
        std::vector<uint8_t> block(kBlock + 1);
        uint64_t fingerprint = 0;
        const int error =
            ComputeFingerprint(read.path, read.size, kBlock, block.data(), alone, fingerprint);
        EXPECT_EQ(read.error, error);
        if (error != 0) continue;
        EXPECT_EQ(read.fingerprint, fingerprint);
        if (read.size <= kBlock) {  // a small file's content stays in its block
            EXPECT_EQ(0, std::memcmp(read.block, block.data(), static_cast<size_t>(read.size)));
        }
        read_alone = alone.bytesRead;
    }
    EXPECT_EQ(reads[8].error, kContentChanged);
    EXPECT_EQ(reads[9].error, ENOENT);
    EXPECT_EQ(reads[10].error, kContentChanged);
    EXPECT_EQ(reads[11].error, EINVAL);  // never read: not a plain file
    EXPECT_EQ(reads[12].error, EINVAL);
    EXPECT_EQ(together.bytesRead, read_alone);
}

// A class of small files is read whole, many files a call, and compared in memory;
// every outcome is the one a comparison of one file at a time gives (a no-op fault
// hook keeps that one on its old path): copies, members that differ alike or not,
// members that grew, shrank, are gone, are links, or are a FIFO or a folder now, and
// a reference that is any of those, with each way of digesting the reference.
// Twenty-five members of 100,000 bytes, as large as a block, take a batch each.
TEST(ContentKeys, SmallClassesReadTogetherCompareAsOneByOne) {
    if (!platform::PieceReadsBatched())
        GTEST_SKIP() << "no batched reads here (or a ThreadSanitizer build, which does without)";
    TempDir dir;
    const std::string r = dir.Path().string() + "/";
    constexpr size_t kSize = 10000;
    WritePattern(r + "reference", kSize, 4);
    WritePattern(r + "copy", kSize, 4);
    WritePattern(r + "first", kSize, 4, 0);
    WritePattern(r + "middle", kSize, 4, kSize / 2);
    WritePattern(r + "last", kSize, 4, kSize - 1);
    WritePattern(r + "middle again", kSize, 4, kSize / 2);
    WritePattern(r + "grew", kSize + 1, 4);
    WritePattern(r + "shrank", kSize - 1, 4);
    WritePattern(r + "copy 2", kSize, 4);
    ASSERT_EQ(mkfifo((r + "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(r + "folder");
    std::filesystem::create_symlink(r + "copy", r + "link");
    const std::vector<std::string> names = {"copy",         "first",  "middle", "last",
                                            "middle again", "grew",   "shrank", "gone",
                                            "fifo",         "folder", "link",   "copy 2"};
    const IoFaultHook none = [](const std::string&, IoStep) { return 0; };

    struct Outcome {
        int result = 0;
        bool keyed = false;
        ContentKey key;
        ContentKey sha;
        std::vector<std::tuple<bool, int, uint64_t>> members;
        uint64_t bytes = 0;
        bool operator==(const Outcome&) const = default;
    };
    auto compare = [&](const std::string& reference, FileLen size, ReferenceDigest digest,
                       const std::vector<std::string>& member_names, bool together) {
        HashScratch scratch;
        scratch.buffer.resize(16385);
        scratch.other.resize(16385);
        ReadContext context;
        context.wantSha = true;
        if (!together) context.faultHook = &none;
        std::vector<CompareMember> members;
        members.reserve(member_names.size());
        for (const std::string& name : member_names) members.push_back({r + name});
        Outcome outcome;
        outcome.result = CompareWithReference(r + reference, size, digest, members, scratch,
                                              context, outcome.key, outcome.keyed);
        if (outcome.keyed) outcome.sha = context.sha;
        for (const CompareMember& member : members)
            outcome.members.emplace_back(member.equal, member.error, member.divergence);
        outcome.bytes = context.bytesRead;
        EXPECT_EQ(ReadsTogether(size, scratch, context), together);
        return outcome;
    };

    for (const ReferenceDigest digest :
         {ReferenceDigest::None, ReferenceDigest::WhileEqual, ReferenceDigest::Always}) {
        SCOPED_TRACE(static_cast<int>(digest));
        const Outcome together = compare("reference", kSize, digest, names, true);
        EXPECT_EQ(together, compare("reference", kSize, digest, names, false));
        EXPECT_EQ(together.result, 0);
        EXPECT_EQ(together.keyed, digest != ReferenceDigest::None);
        using M = std::tuple<bool, int, uint64_t>;
        EXPECT_EQ(std::get<0>(together.members[0]), true);
        EXPECT_EQ(std::get<0>(together.members[11]), true);
        EXPECT_EQ(std::get<2>(together.members[2]), std::get<2>(together.members[4]));
        EXPECT_NE(std::get<2>(together.members[1]), std::get<2>(together.members[2]));
        EXPECT_NE(std::get<2>(together.members[2]), std::get<2>(together.members[3]));
        EXPECT_EQ(std::vector<M>(together.members.begin() + 5, together.members.begin() + 11),
                  (std::vector<M>{{false, kContentChanged, 0},
                                  {false, kContentChanged, 0},
                                  {false, ENOENT, 0},
                                  {false, EINVAL, 0},
                                  {false, EINVAL, 0},
                                  {false, ELOOP, 0}}));
        // A reference that cannot be read fails the comparison as it does one by one;
        // one that opens but cannot be read only when it would have been read.
        for (const char* reference : {"grew", "shrank", "gone", "fifo", "folder", "link"}) {
            SCOPED_TRACE(reference);
            const Outcome failed = compare(reference, kSize, digest, names, true);
            EXPECT_NE(failed.result, 0);
            EXPECT_EQ(failed, compare(reference, kSize, digest, names, false));
            for (const auto& member : failed.members) EXPECT_FALSE(std::get<0>(member));
            const std::vector<std::string> unopened = {"gone", "link", "grew"};
            EXPECT_EQ(compare(reference, kSize, digest, unopened, true),
                      compare(reference, kSize, digest, unopened, false));
            EXPECT_EQ(compare(reference, kSize, digest, {}, true),
                      compare(reference, kSize, digest, {}, false));
        }
        // Alone, as a key is computed.
        EXPECT_EQ(compare("copy", kSize, digest, {}, true),
                  compare("copy", kSize, digest, {}, false));
    }

    constexpr size_t kLarge = 100000;
    std::vector<std::string> many;
    WritePattern(r + "large reference", kLarge, 8);
    for (int i = 0; i < 25; ++i) {
        many.push_back("large " + std::to_string(i));
        WritePattern(r + many.back(), kLarge, 8,
                     i % 3 == 0 ? kLarge : static_cast<size_t>(i) * 1000);
    }
    // Blocks as large as the files: each file is one read.
    HashScratch scratch;
    scratch.buffer.resize(kLarge + 1);
    scratch.other.resize(kLarge + 1);
    for (const ReferenceDigest digest : {ReferenceDigest::WhileEqual, ReferenceDigest::Always}) {
        std::vector<CompareMember> batched;
        std::vector<CompareMember> alone;
        for (const std::string& name : many) {
            batched.push_back({r + name});
            alone.push_back({r + name});
        }
        ContentKey key_together;
        ContentKey key_alone;
        bool keyed_together = false;
        bool keyed_alone = false;
        ReadContext context;
        ASSERT_EQ(CompareWithReference(r + "large reference", kLarge, digest, batched, scratch,
                                       context, key_together, keyed_together),
                  0);
        EXPECT_TRUE(ReadsTogether(kLarge, scratch, context));
        ReadContext one_by_one;
        one_by_one.faultHook = &none;
        ASSERT_EQ(CompareWithReference(r + "large reference", kLarge, digest, alone, scratch,
                                       one_by_one, key_alone, keyed_alone),
                  0);
        EXPECT_TRUE(keyed_together);
        EXPECT_EQ(key_together, key_alone);
        EXPECT_EQ(context.bytesRead, one_by_one.bytesRead);
        size_t equal = 0;
        for (size_t i = 0; i < many.size(); ++i) {
            EXPECT_EQ(batched[i].equal, alone[i].equal) << many[i];
            EXPECT_EQ(batched[i].divergence, alone[i].divergence) << many[i];
            EXPECT_EQ(batched[i].error, 0) << many[i];
            equal += batched[i].equal;
        }
        EXPECT_EQ(equal, 9u);
    }
}

// Several small classes read in one batch: each comes out as it does compared alone,
// also beside a class whose reference is gone or a FIFO now, one whose reference can be
// opened but no member can, and one of files as large as a block.
TEST(ContentKeys, ClassesReadTogetherCompareAsEachAlone) {
    if (!platform::PieceReadsBatched())
        GTEST_SKIP() << "no batched reads here (or a ThreadSanitizer build, which does without)";
    TempDir dir;
    const std::string r = dir.Path().string() + "/";
    constexpr size_t kBlock = 16384;
    struct Class {
        std::string reference;
        FileLen size;
        ReferenceDigest digest;
        std::vector<std::string> members;
    };
    const std::vector<Class> classes = {
        {"a", 5000, ReferenceDigest::WhileEqual, {"a copy", "a other"}},
        {"gone", 6000, ReferenceDigest::Always, {"b copy"}},
        {"c", 7000, ReferenceDigest::None, {"c other", "c copy", "c copy 2"}},
        {"fifo", 5000, ReferenceDigest::WhileEqual, {"a copy"}},
        {"d", 8000, ReferenceDigest::WhileEqual, {"gone", "fifo"}},
        {"e", kBlock, ReferenceDigest::Always, {"e copy"}},
        {"f", 33, ReferenceDigest::Always, {}},
    };
    unsigned seed = 1;
    for (const Class& one : classes) {
        ++seed;
        if (one.reference != "gone" && one.reference != "fifo")
            WritePattern(r + one.reference, static_cast<size_t>(one.size), seed);
        for (const std::string& member : one.members) {
            if (member == "gone" || member == "fifo" || std::filesystem::exists(r + member))
                continue;
            WritePattern(r + member, static_cast<size_t>(one.size), seed,
                         member.find("other") != std::string::npos ? 10 : one.size);
        }
    }
    WritePattern(r + "b copy", 6000, 3);
    ASSERT_EQ(mkfifo((r + "fifo").c_str(), 0600), 0);

    std::vector<std::string> references;
    references.reserve(classes.size());
    std::vector<std::vector<CompareMember>> together(classes.size());
    std::vector<ClassComparison> comparisons;
    for (const Class& one : classes) references.push_back(r + one.reference);
    for (size_t i = 0; i < classes.size(); ++i) {
        for (const std::string& member : classes[i].members) together[i].push_back({r + member});
        ClassComparison comparison;
        comparison.referencePath = &references[i];
        comparison.size = classes[i].size;
        comparison.digest = classes[i].digest;
        comparison.members = &together[i];
        comparisons.push_back(comparison);
    }
    HashScratch scratch;
    scratch.buffer.resize(kBlock + 1);
    scratch.other.resize(kBlock + 1);
    ReadContext context;
    context.wantSha = true;
    for (const Class& one : classes) EXPECT_TRUE(ReadsTogether(one.size, scratch, context));
    EXPECT_FALSE(ReadsTogether(kBlock + 1, scratch, context));
    // The classes that fit in the two blocks whole, then the others, as the search does.
    for (size_t first = 0; first < comparisons.size();) {
        size_t compared = 0;
        ASSERT_TRUE(CompareClassesTogether(std::span(comparisons).subspan(first), scratch, context,
                                           compared));
        ASSERT_GT(compared, 0u);
        first += compared;
    }

    const IoFaultHook none = [](const std::string&, IoStep) { return 0; };
    ReadContext alone_context;
    alone_context.wantSha = true;
    alone_context.faultHook = &none;
    for (size_t i = 0; i < classes.size(); ++i) {
        SCOPED_TRACE(classes[i].reference);
        std::vector<CompareMember> alone;
        for (const std::string& member : classes[i].members) alone.push_back({r + member});
        ContentKey key;
        bool keyed = false;
        EXPECT_EQ(comparisons[i].result,
                  CompareWithReference(references[i], classes[i].size, classes[i].digest, alone,
                                       scratch, alone_context, key, keyed));
        ASSERT_EQ(comparisons[i].keyed, keyed);
        if (keyed) {
            EXPECT_EQ(comparisons[i].key, key);
            EXPECT_EQ(comparisons[i].sha, alone_context.sha);
        }
        for (size_t m = 0; m < alone.size(); ++m) {
            EXPECT_EQ(together[i][m].equal, alone[m].equal) << alone[m].path;
            EXPECT_EQ(together[i][m].error, alone[m].error) << alone[m].path;
            EXPECT_EQ(together[i][m].divergence, alone[m].divergence) << alone[m].path;
        }
    }
    EXPECT_EQ(context.bytesRead, alone_context.bytesRead);
    EXPECT_TRUE(together[0][0].equal);
    EXPECT_FALSE(together[0][1].equal);
    EXPECT_EQ(comparisons[1].result, ENOENT);
    EXPECT_TRUE(together[2][1].equal && together[2][2].equal);
    EXPECT_EQ(comparisons[3].result, EINVAL);
    EXPECT_EQ(comparisons[4].result, 0);
    EXPECT_FALSE(comparisons[4].keyed);  // no member opened: not read, not digested
    EXPECT_TRUE(together[5][0].equal);
    EXPECT_TRUE(comparisons[6].keyed);
}

}  // namespace
}  // namespace merravine

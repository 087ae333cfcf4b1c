// Content keys: the MD5 vectors of RFC 1321, and files that are equal but for one
// byte at the key and buffer boundaries.
#include "search/content_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace merravine

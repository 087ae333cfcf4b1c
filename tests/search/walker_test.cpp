// The walk and its filters: name parts, nested excludes, protect folders, the skip
// flags, kinds, size bounds, entries that are not plain files, and pseudo file
// systems mounted below a search folder.
#include "search/walker.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;
using Sets = std::set<std::set<std::string>>;

TEST(Walker, SplitsNamesAtTheLastDotKeepingTheListedCase) {
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"photo.JPG", "photo.", "JPG", "jpg"},
        {"archive.tar.GZ", "archive.tar.", "GZ", "gz"},
        {"README", "README", "", ""},
        {"name.", "name.", "", ""},
        {".bashrc", ".", "bashrc", "bashrc"},
        {"\xC3\x84.\xC3\x84X", "\xC3\x84.", "\xC3\x84X", "\xC3\x84x"},
    };
    for (const auto& [name, stem, suffix, lower] : cases) {
        const NameParts parts = SplitName(name);
        EXPECT_EQ(parts.namenosuffix, stem) << name;
        EXPECT_EQ(parts.suffix, suffix) << name;
        EXPECT_EQ(LowerSuffix(parts.suffix), lower) << name;
    }
}

TEST(Walker, NestsExcludeFoldersByWholeComponents) {
    using List = std::vector<std::string>;
    const std::tuple<List, List, List> cases[] = {
        {{"/data"},
         {"/datax", "/DATA/tmp", "/data/tmp", "/data/tmp/", "/elsewhere/x"},
         {"/data/tmp"}},
        {{"/"}, {"/proc", "/"}, {"/proc"}},
        {{"/home/u/"}, {"/home/u/x"}, {"/home/u/x"}},
        {{"/a", "/b"}, {"/b/c", "/a/c"}, {"/b/c", "/a/c"}},
        {{}, {"/a"}, {}},
    };
    for (const auto& [search, exclude, nested] : cases) {
        EXPECT_EQ(BuildNestedExcludeList(exclude, search), nested);
    }
}

TEST(Walker, ProtectsFilesBelowAProtectFolder) {
    const std::vector<std::string> protect = {"/keep", "/"};
    EXPECT_TRUE(IsProtected({"/keep"}, "/keep/a"));
    EXPECT_FALSE(IsProtected({"/keep"}, "/keeper/a"));
    EXPECT_FALSE(IsProtected({"/keep"}, "/keep"));
    EXPECT_TRUE(IsProtected({"/"}, "/x"));
    EXPECT_TRUE(IsProtected({"/keep/"}, "/keep/a"));
    EXPECT_FALSE(IsProtected({""}, "/keep/a"));
}

// One tree, searched with different settings; each case lists the sets expected.
TEST(Walker, FiltersDecideWhichFilesTakePart) {
    TempDir dir;
    const std::string r = dir.Path().string();
    auto twins = [&](const std::string& a, const std::string& b, const std::string& content) {
        dir.Write(a, content);
        dir.Write(b, content);
    };
    twins(".hidden/a.txt", "b.txt", "a hidden twin, longer than the bounds");
    twins("p.EXE", "q.exe", "a program twin, longer than the bounds");
    twins("x.both", "y.both", "audio or picture, longer than the bounds");
    twins("s9a", "s9b", "123456789");
    twins("s10a", "s10b", "1234567890");
    twins("s20a", "s20b", "12345678901234567890");
    twins("s21a", "s21b", "123456789012345678901");
    twins("skip/inner", "outer", "in an excluded folder");
    twins("$Recycle.Bin/r1", "r2", "in the recycle bin, longer than the bounds");
    twins("xdg/Trash/files/t1", "t2", "in the trash, longer than the bounds");
    setenv("XDG_DATA_HOME", (r + "/xdg").c_str(), 1);

    struct Case {
        const char* what;
        int32_t skipflag;
        int32_t filetypes;
        bool bounds;
        std::vector<std::string> exclude;
        Sets expected;
    };
    const Sets all = {{r + "/.hidden/a.txt", r + "/b.txt"}, {r + "/p.EXE", r + "/q.exe"},
                      {r + "/x.both", r + "/y.both"},       {r + "/s9a", r + "/s9b"},
                      {r + "/s10a", r + "/s10b"},           {r + "/s20a", r + "/s20b"},
                      {r + "/s21a", r + "/s21b"},           {r + "/skip/inner", r + "/outer"},
                      {r + "/$Recycle.Bin/r1", r + "/r2"},  {r + "/xdg/Trash/files/t1", r + "/t2"}};
    // Every set but the ones a case leaves out.
    const auto without = [&all](const std::set<std::string>& a, const std::set<std::string>& b = {},
                                const std::set<std::string>& c = {}) {
        Sets kept = all;
        for (const auto* gone : {&a, &b, &c}) kept.erase(*gone);
        return kept;
    };
    const Case cases[] = {
        {"nothing skipped", 0, KIND_ALL, false, {}, all},
        {"hidden",
         FILE_SKIP_HIDE,
         KIND_ALL,
         false,
         {},
         without({r + "/.hidden/a.txt", r + "/b.txt"})},
        {"programs, any case",
         FILE_SKIP_PRGRAM,
         KIND_DOCUMENT | KIND_AUDIO | KIND_OTHER,
         false,
         {},
         without({r + "/p.EXE", r + "/q.exe"})},
        {"audio listed before picture", 0, KIND_PICTURE, false, {}, {}},
        {"sizes inclusive",
         0,
         KIND_ALL,
         true,
         {},
         {{r + "/s10a", r + "/s10b"}, {r + "/s20a", r + "/s20b"}}},
        {"excluded folder, trash",
         FILE_SKIP_RECYCLE,
         KIND_ALL,
         false,
         {r + "/skip", r + "/nowhere/x"},
         without({r + "/skip/inner", r + "/outer"}, {r + "/$Recycle.Bin/r1", r + "/r2"},
                 {r + "/xdg/Trash/files/t1", r + "/t2"})},
    };
    for (const Case& c : cases) {
        SearchEngine engine;
        engine.settings = SettingsFor({r});
        engine.settings.skipflag = c.skipflag;
        engine.settings.filetypes = c.filetypes;
        engine.settings.excludeDirs = c.exclude;
        if (c.bounds) {
            engine.settings.usemin = engine.settings.usemax = 1;
            engine.settings.minsize = 10;
            engine.settings.maxsize = 20;
        }
        RunSearchToEnd(engine);
        EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), c.expected) << c.what;
    }
    unsetenv("XDG_DATA_HOME");
}

TEST(Walker, RecordsKindsAndProtectFlags) {
    TempDir dir;
    const std::string r = dir.Path().string();
    dir.Write("keep/photo.JPG", "same bytes");
    dir.Write("doc.txt", "same bytes");
    SearchEngine engine;
    engine.settings = SettingsFor({r});
    engine.settings.protectDirs = {r + "/keep"};
    RunSearchToEnd(engine);
    const auto lock = engine.LockGroups();
    ASSERT_EQ(engine.groups.size(), 1u);
    for (const FileRecord& member : engine.groups[0].members) {
        if (member.suffix == "JPG") {
            EXPECT_EQ(member.kind, KIND_PICTURE);
            EXPECT_EQ(member.flags, FILE_FLAG_PROTECTED);
            EXPECT_EQ(member.FullPath(), r + "/keep/photo.JPG");  // the listed name, not photo.jpg
        } else {
            EXPECT_EQ(member.kind, KIND_DOCUMENT);
            EXPECT_EQ(member.flags, 0);
        }
        EXPECT_NE(member.modifyTime, kNoTime);
        EXPECT_NE(member.createTime, kNoTime);
    }
}

// FIFOs, sockets, links and link loops are never read or recorded, odd names are
// carried byte for byte, and a folder given twice is walked once.
TEST(Walker, OnlyPlainFilesUnderTheirListedNames) {
    TempDir dir;
    const std::string r = dir.Path().string();
    const std::string odd1 = "new\nline \"quoted\" \xff\xfe.TXT";
    const std::string odd2 = "it's \xc3\x28 bad utf-8";
    dir.Write(odd1, "odd twin");
    dir.Write("d/" + odd2, "odd twin");
    ASSERT_EQ(mkfifo((r + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((r + "/fifo2").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string sock_path = r + "/sock";
    ASSERT_LT(sock_path.size(), sizeof address.sun_path);
    sock_path.copy(address.sun_path, sock_path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::filesystem::create_symlink(r, r + "/d/loop");
    std::filesystem::create_symlink(r + "/d/" + odd2, r + "/link-to-twin");
    dir.Write("empty1", "");  // the FIFOs and the socket are not empty files
    for (int threads : {1, 2}) {
        SearchEngine engine;
        engine.settings = SettingsFor({r, r, r + "/d"});
        engine.tuning.hashThreads = threads;
        RunSearchToEnd(engine);
        EXPECT_EQ(testing::Unordered(DeliveredSets(engine)),
                  (Sets{{r + "/" + odd1, r + "/d/" + odd2}}));
        EXPECT_EQ(engine.totalNumber.load(), 3);
    }
    close(sock);
}

// A proc file system mounted two folders below the search folder is left out with
// the system entries; the folders around it are walked as usual.
TEST(Walker, APseudoFileSystemBelowASearchFolderIsLeftOut) {
    TempDir dir;
    const std::string r = dir.Path().string();
    dir.Write("a/twin", "same");
    dir.Write("a/b/twin", "same");
    dir.Write("a/b/proc/.keep", "");  // makes the mount point
    if (mount("proc", (r + "/a/b/proc").c_str(), "proc", 0, nullptr) != 0)
        GTEST_SKIP() << "mounting a proc file system needs privileges this process lacks";
    SearchEngine engine;
    engine.settings = SettingsFor({r});
    engine.settings.skipflag = FILE_SKIP_SYSTEM;
    RunSearchToEnd(engine);
    umount2((r + "/a/b/proc").c_str(), MNT_DETACH);
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), (Sets{{r + "/a/twin", r + "/a/b/twin"}}));
    EXPECT_EQ(engine.totalNumber.load(), 2);
    EXPECT_EQ(engine.unlistableNumber.load(), 0);
}

}  // namespace
}  // namespace merravine

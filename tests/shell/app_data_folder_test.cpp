// The real executable on a data folder it cannot write: read-only, or full. What it
// had saved is still read; what it cannot save is answered as not saved.
#include <gtest/gtest.h>

#include <cstdlib>

#include "history/history_db.h"
#include "history/scan_store.h"
#include "program_runner.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;

bool CanMount() {
    return std::system("unshare -m sh -c 'mount -t tmpfs -o size=16k none /mnt' 2>/dev/null") == 0;
}

// A first run that saves settings, and a stored scan beside them.
void PrepareDataFolder(const std::filesystem::path& data, const std::filesystem::path& runtime) {
    {
        Program program(data, runtime);
        ASSERT_TRUE(program.Started());
        WsTestClient page;
        ASSERT_TRUE(program.Connect(page));
        EXPECT_EQ(Ask(page, "SetSearchDirectory", "[[\"/srv/photos\"]]"), "\"result\":0");
        EXPECT_EQ(Ask(page, "SetLang", "[\"zh\"]"), "\"result\":0");
        EXPECT_EQ(Ask(page, "CloseWindow"), "\"result\":0");
        EXPECT_EQ(program.Wait(), 0);
    }
    history::HistoryDb db;
    history::OpenHistoryDb(db, data.string());
    history::ScanRow row{1, "/srv/photos/", "a.", "jpg", "1", "2", "3", std::string(32, 'k'), 16};
    ASSERT_GT(history::StoreScan(db, {"/srv/photos"}, {row, row}, 20), 0);
}

TEST(ProgramDataFolder, ReadOnlyOrFullFoldersStillReadAndTellEveryFailedWrite) {
    if (!CanMount()) GTEST_SKIP() << "no mount namespace here, so no read-only or full folder";
    TempDir temp;
    const auto data = temp.Path() / "data";
    PrepareDataFolder(data, temp.Path());
    const std::string folder = data.string();
    const struct {
        const char* what;
        std::string wrapper;
    } cases[] = {
        {"read-only", "unshare -m sh -c 'mount --bind " + folder + " " + folder +
                          " && mount -o remount,bind,ro " + folder + " && exec \"$0\" \"$@\"'"},
        {"full", "unshare -m sh -c 'cp -a " + folder + " " + folder +
                     ".copy && mount -t tmpfs -o "
                     "size=512k none " +
                     folder + " && cp -a " + folder + ".copy/. " + folder +
                     " && (dd if=/dev/zero of=" + folder + "/filler bs=4k 2>/dev/null; true)" +
                     " && exec \"$0\" \"$@\"'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Program program(data, temp.Path(), "", c.wrapper);
        ASSERT_TRUE(program.Started());
        WsTestClient page;
        ASSERT_TRUE(program.Connect(page));
        EXPECT_EQ(Ask(page, "GetLang"), "\"result\":\"zh\"");
        EXPECT_EQ(Ask(page, "GetSearchDirectory"), "\"result\":[\"/srv/photos\"]");
        const std::string scans = Ask(page, "GetScanReord");
        EXPECT_EQ(scans.rfind("\"result\":[[1,", 0), 0u) << scans;
        EXPECT_EQ(Ask(page, "SetLang", "[\"en\"]"), "\"result\":2");
        EXPECT_EQ(Ask(page, "SetSearchDirectory", "[[\"/srv/music\"]]"), "\"result\":2");
        EXPECT_EQ(Ask(page, "SetSettings", "[[63,\"\",0,\"0\",0,\"0\",15]]"), "\"result\":2");
        // The values asked for still apply for this run.
        EXPECT_EQ(Ask(page, "GetSearchDirectory"), "\"result\":[\"/srv/music\"]");
        EXPECT_EQ(Ask(page, "CloseWindow"), "\"result\":0");
        EXPECT_EQ(program.Wait(), 0);
    }
    // Nothing that was saved before is lost.
    const std::string config = ReadFile(data / "Config.ini");
    EXPECT_NE(config.find("lang=zh"), std::string::npos) << config;
}

}  // namespace
}  // namespace merravine

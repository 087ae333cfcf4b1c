// The dedupe command line and the export of the results, run in this process on real
// folders: a dry run changes nothing and says what a run then does; the export is what
// the scan command prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/dedupe_cli.h"
#include "cli/results_export.h"
#include "cli/scan_output.h"
#include "history/search_fixture.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ActionCliTest : public ::testing::Test {
  protected:
    std::string R(const std::string& relative = "") const { return f_.Root() + "/" + relative; }
    testing::SearchFixture f_;
};

TEST_F(ActionCliTest, ExportWritesWhatTheScanCommandPrints) {
    f_.Write("a/x,1.txt", "same\n");
    f_.Write("b/x\"2.txt", "same\n");
    f_.Search();
    for (const std::string format : {"csv", "json"}) {
        const std::string file = (f_.temp.Path() / ("out." + format)).string();
        ASSERT_EQ(ExportResults(f_.engine, ScriptValue::Text(file), ScriptValue::Text(format)),
                  ScriptValue::Int(0));
        std::ostringstream expected;
        ScanStats stats;
        stats.counted = f_.engine.totalNumber.load();
        stats.scanned = f_.engine.scanNumber.load();
        stats.duplicates = f_.engine.duplicateNumber.load();
        stats.unreadable = f_.engine.unreadableNumber.load();
        stats.bytesRead = f_.engine.bytesRead.load();
        WriteScanResult(expected, format == "csv" ? ScanFormat::Csv : ScanFormat::Json,
                        f_.engine.groups, stats);
        EXPECT_EQ(ReadFile(file), expected.str());
    }
    EXPECT_EQ(ExportResults(f_.engine, ScriptValue::Text("relative.csv"), ScriptValue::Text("csv")),
              ScriptValue::Int(2));
    EXPECT_EQ(ExportResults(f_.engine, ScriptValue::Text("/tmp/x.csv"), ScriptValue::Text("xml")),
              ScriptValue::Int(2));
    EXPECT_EQ(
        ExportResults(f_.engine, ScriptValue::Text((f_.temp.Path() / "no/such/out.csv").string()),
                      ScriptValue::Text("csv")),
        ScriptValue::Int(3));
}

struct CommandResult {
    int code;
    std::string out;
};

CommandResult RunDedupe(std::vector<std::string> args) {
    args.insert(args.begin(), "dedupe");
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& arg : args) argv.push_back(arg.data());
    std::ostringstream out;
    std::ostringstream err;
    auto* old_out = std::cout.rdbuf(out.rdbuf());
    auto* old_err = std::cerr.rdbuf(err.rdbuf());
    const int code = RunDedupeCommand(static_cast<int>(argv.size()), argv.data());
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    return {code, out.str() + err.str()};
}

TEST_F(ActionCliTest, DedupeDryRunChangesNothingAndSaysWhatARunThenDoes) {
    f_.Write("one/x.txt", "same");
    f_.Write("two/x.txt", "same");
    f_.Write("two/y.txt", "other");
    f_.Write("three/y.txt", "other");
    f_.Write("three/p.txt", "guarded");
    f_.Write("one/p.txt", "guarded");
    const std::vector<std::string> args = {"--action",     "hardlink",  "--keep",
                                           "folder-order", "--protect", R("one"),
                                           R("two"),       R("one"),    R("three")};
    std::vector<std::string> dry_args = args;
    dry_args.insert(dry_args.begin(), "--dry-run");
    const CommandResult dry = RunDedupe(dry_args);
    EXPECT_EQ(dry.code, 0) << dry.out;
    EXPECT_NE(dry.out.find("would hardlink " + R("three/y.txt") + " (kept " + R("two/y.txt") + ")"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("skipped (protected) " + R("one/x.txt")), std::string::npos) << dry.out;
    struct stat a {
    }, b{};
    stat(R("two/y.txt").c_str(), &a);
    stat(R("three/y.txt").c_str(), &b);
    EXPECT_NE(a.st_ino, b.st_ino);

    const CommandResult run = RunDedupe(args);
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("hardlinked " + R("three/y.txt")), std::string::npos) << run.out;
    stat(R("three/y.txt").c_str(), &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(ReadFile(R("one/x.txt")), "same");

    EXPECT_EQ(RunDedupe({"--action", "erase", "--keep", "first", R()}).code, 2);
    EXPECT_EQ(RunDedupe({"--action", "move:" + R("one"), "--keep", "first", R()}).code, 2);
    EXPECT_EQ(RunDedupe({"--keep", "first", R()}).code, 2);
}

}  // namespace
}  // namespace merravine

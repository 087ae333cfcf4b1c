// The scan command line: its JSON, CSV and text forms (names that are not valid
// UTF-8 survive JSON byte for byte), and its answers to bad arguments.
#include "cli/scan_cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli/scan_output.h"
#include "support/temp_dir.h"
#include "util/text.h"

namespace merravine {
namespace {

using testing::TempDir;

struct CommandResult {
    int code;
    std::string out;
    std::string err;
};

CommandResult RunScan(std::vector<std::string> args) {
    // Without a data folder of its own a scan would keep its cache beside the test program,
    // shared by every run.
    if (std::find(args.begin(), args.end(), "--data-dir") == args.end()) {
        args.insert(args.begin(), "--no-cache");
    }
    args.insert(args.begin(), "scan");
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& arg : args) argv.push_back(arg.data());
    std::ostringstream out;
    std::ostringstream err;
    auto* old_out = std::cout.rdbuf(out.rdbuf());
    auto* old_err = std::cerr.rdbuf(err.rdbuf());
    const int code = RunScanCommand(static_cast<int>(argv.size()), argv.data());
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    return {code, out.str(), err.str()};
}

TEST(ScanOutput, JsonStringsEscapeInvalidBytesAsLoneSurrogates) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s\n\t\x01", "\"q\\\"b\\\\s\\n\\t\\u0001\""},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        {"\xff", "\"\\udcff\""},
        {"\xC3(", "\"\\udcc3(\""},
        {"\xE0\x80\x80", "\"\\udce0\\udc80\\udc80\""},             // overlong
        {"\xED\xA0\x80", "\"\\udced\\udca0\\udc80\""},             // a surrogate in UTF-8
        {"\xF4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},  // beyond U+10FFFF
        {"\xE2\x82", "\"\\udce2\\udc82\""},                        // cut short
    };
    for (const auto& [text, json] : cases) {
        std::string out;
        AppendJsonString(out, text);  // the form every name takes in the JSON output
        EXPECT_EQ(out, json);
    }
}

TEST(ScanOutput, CsvQuotesAsRfc4180) {
    EXPECT_EQ(CsvField("a b"), "a b");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
}

TEST(ScanCommand, PrintsEverySetInEachFormat) {
    TempDir dir;
    const std::string r = dir.Path().string();
    const std::string odd = "odd\xff,\"name\"";
    dir.Write("keep/" + odd, "same");
    dir.Write("x.jpg", "same");
    dir.Write(".hidden", "same");
    dir.Write("lone", "different");

    const CommandResult json = RunScan({"--format", "json", "--protect", r + "/keep", r});
    ASSERT_EQ(json.code, 0) << json.err;
    const std::string expected_sets =
        "{\"sets\":[{\"size\":4,\"files\":[{\"path\":\"" + r +
        "/keep/odd\\udcff,\\\"name\\\"\",\"kind\":32,\"protected\":true},{\"path\":\"" + r +
        "/x.jpg\",\"kind\":16,\"protected\":false}]}],\"stats\":{\"counted\":3,"
        "\"scanned\":3,\"duplicates\":2,\"unreadable\":0,";
    std::string ordered = json.out;
    // The two files of the set come in the order found last first; accept either walk order.
    const std::string swapped_sets =
        "{\"sets\":[{\"size\":4,\"files\":[{\"path\":\"" + r +
        "/x.jpg\",\"kind\":16,\"protected\":false},{\"path\":\"" + r +
        "/keep/odd\\udcff,\\\"name\\\"\",\"kind\":32,\"protected\":true}]}],\"stats\":{"
        "\"counted\":3,\"scanned\":3,\"duplicates\":2,\"unreadable\":0,";
    EXPECT_TRUE(ordered.rfind(expected_sets, 0) == 0 || ordered.rfind(swapped_sets, 0) == 0)
        << ordered;
    EXPECT_NE(ordered.find("\"bytes_read\":"), std::string::npos);
    EXPECT_NE(ordered.find("\"seconds\":"), std::string::npos);

    const CommandResult all = RunScan({"--skip", "0", "--format=csv", r});
    ASSERT_EQ(all.code, 0);
    EXPECT_EQ(all.out.rfind("set,size,path,kind,protected\r\n", 0), 0u);
    EXPECT_NE(all.out.find("1,4,\"" + r + "/keep/" + "odd\xff,\"\"name\"\"\",32,0\r\n"),
              std::string::npos);
    EXPECT_NE(all.out.find("1,4," + r + "/.hidden,32,0\r\n"), std::string::npos);

    const CommandResult text = RunScan({"--kinds", "16", "--min", "1", "--max", "4", r});
    EXPECT_EQ(text.code, 0);
    EXPECT_EQ(text.out, "");  // one picture alone is no set
    const CommandResult two =
        RunScan({"--kinds", "48", "--threads", "1", "--walk-threads", "3", r, r + "/keep"});
    EXPECT_EQ(two.code, 0);
    EXPECT_TRUE(two.out == r + "/x.jpg\n" + r + "/keep/" + odd + "\n\n" ||
                two.out == r + "/keep/" + odd + "\n" + r + "/x.jpg\n\n")
        << two.out;
}

// Without the option every name of a file is printed; with it one name per file, and a
// file with two names and no copy is no set.
TEST(ScanCommand, CollapseHardLinksPrintsOneNamePerFile) {
    TempDir dir;
    const std::string r = dir.Path().string();
    dir.Write("a", "linked once");
    std::filesystem::create_hard_link(dir.Path() / "a", dir.Path() / "b");
    dir.Write("c", "copied");
    dir.Write("d", "copied");
    const CommandResult every = RunScan({"--skip", "0", r});
    ASSERT_EQ(every.code, 0) << every.err;
    EXPECT_NE(every.out.find(r + "/a\n"), std::string::npos);
    EXPECT_NE(every.out.find(r + "/b\n"), std::string::npos);
    const CommandResult collapsed = RunScan({"--skip", "0", "--collapse-hardlinks", r});
    ASSERT_EQ(collapsed.code, 0) << collapsed.err;
    EXPECT_TRUE(collapsed.out == r + "/c\n" + r + "/d\n\n" ||
                collapsed.out == r + "/d\n" + r + "/c\n\n")
        << collapsed.out;
}

TEST(ScanCommand, BadArgumentsAnswerTwoWithOneLine) {
    TempDir dir;
    const std::string r = dir.Path().string();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {r + "/missing"},
        {"--kinds", "64", r},
        {"--kinds", "0", r},
        {"--min", "-1", r},
        {"--skip", "16", r},
        {"--threads", "0", r},
        {"--walk-threads", "0", r},
        {"--walk-threads", "65", r},
        {"--format", "xml", r},
        {"--frobnicate", r},
        {r, "--exclude"},
    };
    for (const auto& args : bad) {
        const CommandResult result = RunScan(args);
        EXPECT_EQ(result.code, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

// The cache of the data folder: a second scan reads nothing; --no-cache reads again and
// leaves no cache file behind.
TEST(ScanCommand, KeepsTheContentCacheInTheDataFolder) {
    TempDir dir;
    const std::string tree = (dir.Path() / "tree").string();
    for (const char* name : {"/a", "/b"})
        dir.Write("tree" + std::string(name), std::string(9000, 'x'));
    const std::string data = (dir.Path() / "data").string();
    const std::string fresh = (dir.Path() / "fresh").string();
    auto bytes_read = [](const std::string& json) {
        const size_t at = json.find("\"bytes_read\":");
        return at == std::string::npos ? std::string("?")
                                       : json.substr(at + 13, json.find(',', at) - at - 13);
    };
    const CommandResult cold = RunScan({"--format", "json", "--data-dir", data, tree});
    ASSERT_EQ(cold.code, 0) << cold.err;
    EXPECT_NE(bytes_read(cold.out), "0");
    EXPECT_TRUE(std::filesystem::exists(data + "/cache.db"));
    const CommandResult warm = RunScan({"--format", "json", "--cache", "--data-dir", data, tree});
    EXPECT_EQ(bytes_read(warm.out), "0");
    const CommandResult off =
        RunScan({"--format", "json", "--no-cache", "--data-dir", fresh, tree});
    EXPECT_NE(bytes_read(off.out), "0");
    EXPECT_FALSE(std::filesystem::exists(fresh + "/cache.db"));
    EXPECT_EQ(RunScan({"--no-cache=1", tree}).code, 2);
}

}  // namespace
}  // namespace merravine

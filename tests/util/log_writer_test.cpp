#include "util/log_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void Line(CLogWriter& writer, LogKind kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Line(CLogWriter& writer, LogKind kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writer.Write(kind, format, args);
    va_end(args);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(LogPrefix, ExactBytes) {
    std::tm when{};
    when.tm_year = 2022 - 1900;
    when.tm_mon = 3;
    when.tm_mday = 21;
    when.tm_hour = 15;
    when.tm_min = 15;
    when.tm_sec = 7;
    char out[CLogWriter::kLineRoom + 1];
    struct Case {
        int64_t thread;
        LogKind kind;
        std::string expected;
    };
    const Case cases[] = {
        {123, LOG_KIND_DEBUG, "[2022-04-21] [15-15-07] [T:123  ] [DEBUG]: "},
        {4312, LOG_KIND_LESS, "[2022-04-21] [15-15-07] [T:4312 ] [LESS ]: "},
        {1234567, LOG_KIND_DEBUG, "[2022-04-21] [15-15-07] [T:1234567] [DEBUG]: "},
        {7, static_cast<LogKind>(3), "[2022-04-21] [15-15-07] [T:7    ] [LOG_SYS]: "},
    };
    for (const auto& c : cases) {
        const size_t length = FormatLogPrefix(out, sizeof out - 1, when, c.thread, c.kind);
        EXPECT_EQ(std::string(out, length), c.expected);
    }
}

TEST(LogWriter, OneLineAndTheCutAt1301Bytes) {
    TempDir dir;
    CLogWriter writer;
    const fs::path path = dir.Path() / "Tessvel.log";
    ASSERT_TRUE(writer.OpenLog(path.string()));
    Line(writer, LOG_KIND_DEBUG, "Soft start!");
    Line(writer, LOG_KIND_LESS, "%s", std::string(2000, 'x').c_str());

    const auto lines = SplitLines(dir.Read(path));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex first(
        R"(\[\d{4}-\d\d-\d\d\] \[\d\d-\d\d-\d\d\] \[T:[0-9 ]{5,}\] \[DEBUG\]: Soft start!)");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_EQ(lines[1].size() + 1, 1301u);  // the line feed makes it 1,301 bytes
    EXPECT_NE(lines[1].find("[LESS ]: xxx"), std::string::npos);
    EXPECT_EQ(dir.Read(path).size(), lines[0].size() + 1 + 1301);
}

// A message cannot forge a log line: its line breaks and other control characters
// are written as escapes, and an escape never runs past the line's room.
TEST(LogWriter, OneEntryIsOneLineWhateverTheText) {
    TempDir dir;
    CLogWriter writer;
    const fs::path path = dir.Path() / "Tessvel.log";
    ASSERT_TRUE(writer.OpenLog(path.string()));
    Line(writer, LOG_KIND_DEBUG, "%s",
         "page text\n[2026-01-01] [00-00-00] [T:1    ] [DEBUG]: forged\r\tend\x01\x7f");
    Line(writer, LOG_KIND_DEBUG, "folder %s listed", "/home/a\nb/ü");
    Line(writer, LOG_KIND_LESS, "%s", std::string(2000, '\n').c_str());
    const auto lines = SplitLines(dir.Read(path));
    ASSERT_EQ(lines.size(), 3u) << dir.Read(path);
    EXPECT_NE(
        lines[0].find(
            R"(: page text\n[2026-01-01] [00-00-00] [T:1    ] [DEBUG]: forged\r\tend\x01\x7f)"),
        std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(R"(: folder /home/a\nb/ü listed)"), std::string::npos) << lines[1];
    EXPECT_LE(lines[2].size() + 1, 1301u);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 2), "\\n");
}

TEST(LogWriter, LevelsDecideWhichLinesAreWritten) {
    for (int32_t level : {0, 1, 2}) {
        TempDir dir;
        CLogWriter writer;
        writer.SetLevel(level);
        const fs::path path = dir.Path() / "Tessvel.log";
        ASSERT_TRUE(writer.OpenLog(path.string()));  // the file exists even at level 0
        Line(writer, LOG_KIND_LESS, "version: %s", "3.1.2.3");
        Line(writer, LOG_KIND_DEBUG, "debug");
        const auto lines = SplitLines(dir.Read(path));
        ASSERT_EQ(lines.size(), static_cast<size_t>(level)) << level;
        if (level >= 1) {
            EXPECT_NE(lines[0].find("[LESS ]: version: 3.1.2.3"), std::string::npos);
        }
        if (level == 2) {
            EXPECT_NE(lines[1].find("[DEBUG]: debug"), std::string::npos);
        }
    }
}

// Real files without the flush to disk after each line: the tests that write
// thousands of lines look only at the bytes, which the flush does not change.
class NoFlush : public platform::LogFileOps {
  public:
    void Flush(int) override {}
};

TEST(LogWriter, RotatesOnlyAboveTheMaximumSize) {
    TempDir dir;
    const fs::path path = dir.Path() / "Tessvel.log";
    NoFlush ops;
    CLogWriter writer(&ops);
    ASSERT_TRUE(writer.OpenLog(path.string()));
    Line(writer, LOG_KIND_DEBUG, "probe");
    const size_t one_line = fs::file_size(path);  // prefix + "probe" + line feed
    fs::resize_file(path, 0);
    // Lines of 100 bytes; the file starts with the right padding to hit the maximum exactly.
    const size_t line_size = one_line - 5 + 95;
    const size_t lines_before = 1000;
    dir.Write("Tessvel.log", std::string(CLogWriter::kMaxSize - lines_before * line_size, 'p'));
    ASSERT_TRUE(writer.OpenLog(path.string()));
    for (size_t i = 0; i < lines_before; ++i) Line(writer, LOG_KIND_DEBUG, "%095zu", i);
    EXPECT_EQ(fs::file_size(path), CLogWriter::kMaxSize);  // exactly the maximum: kept
    EXPECT_FALSE(fs::exists(dir.Path() / "Tessvel_1.log"));

    Line(writer, LOG_KIND_DEBUG, "past the maximum");
    ASSERT_TRUE(fs::exists(dir.Path() / "Tessvel_1.log"));
    EXPECT_EQ(fs::file_size(dir.Path() / "Tessvel_1.log"),
              CLogWriter::kMaxSize + line_size - 95 + 16);
    EXPECT_EQ(fs::file_size(path), 0u);  // the line that went past is the old generation's last
    Line(writer, LOG_KIND_DEBUG, "fresh");
    EXPECT_NE(dir.Read(path).find("fresh"), std::string::npos);
}

struct GenerationCase {
    std::vector<int> present;             // generations on disk before the rotation
    std::map<int, std::string> expected;  // generation -> content afterwards ("" = absent)
};

class LogGenerations : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(LogGenerations, ShiftUpToTheFirstGap) {
    TempDir dir;
    for (int n : GetParam().present)
        dir.Write("Tessvel_" + std::to_string(n) + ".log", "g" + std::to_string(n));
    dir.Write("Tessvel.log", std::string(CLogWriter::kMaxSize + 1, 'L'));
    CLogWriter writer;
    ASSERT_TRUE(writer.OpenLog((dir.Path() / "Tessvel.log").string()));  // too large at start
    EXPECT_EQ(fs::file_size(dir.Path() / "Tessvel.log"), 0u);
    for (int n = 1; n <= 6; ++n) {
        const fs::path backup = dir.Path() / ("Tessvel_" + std::to_string(n) + ".log");
        const auto want = GetParam().expected.find(n);
        if (want == GetParam().expected.end()) {
            EXPECT_FALSE(fs::exists(backup)) << n;
        } else if (want->second == "L") {
            EXPECT_EQ(fs::file_size(backup), CLogWriter::kMaxSize + 1) << n;
        } else {
            EXPECT_EQ(dir.Read(backup), want->second) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rotation, LogGenerations,
    ::testing::Values(GenerationCase{{}, {{1, "L"}}},
                      GenerationCase{{1, 2}, {{1, "L"}, {2, "g1"}, {3, "g2"}}},
                      GenerationCase{{1, 2, 3, 4, 5},
                                     {{1, "L"}, {2, "g1"}, {3, "g2"}, {4, "g3"}, {5, "g4"}}},
                      GenerationCase{{1, 3}, {{1, "L"}, {2, "g1"}, {3, "g3"}}},
                      GenerationCase{{2}, {{1, "L"}, {2, "g2"}}}));

// File operations whose moves fail, as when the file system refuses the rename.
class StuckMoves : public NoFlush {
  public:
    bool Move(const std::string&, const std::string&) override {
        ++moves;
        return false;
    }
    int moves = 0;
};

TEST(LogWriter, AFailedMoveDoesNotRotateOnEveryLine) {
    TempDir dir;
    dir.Write("Tessvel.log", std::string(CLogWriter::kMaxSize + 1, 'L'));
    StuckMoves ops;
    CLogWriter writer(&ops);
    ASSERT_TRUE(writer.OpenLog((dir.Path() / "Tessvel.log").string()));
    EXPECT_EQ(ops.moves, 1);
    for (int i = 0; i < 200; ++i) Line(writer, LOG_KIND_DEBUG, "line %d", i);
    EXPECT_EQ(ops.moves, 1);  // one attempt, not one per line
    const std::string text = dir.Read(dir.Path() / "Tessvel.log");
    EXPECT_NE(text.find("line 199"), std::string::npos);  // nothing lost: the file keeps growing
    EXPECT_NE(text.find("[LESS ]: The log could not be rotated"), std::string::npos);

    // Once the file has grown by another maximum size the move is tried again.
    std::ofstream(dir.Path() / "Tessvel.log", std::ios::app)
        << std::string(CLogWriter::kMaxSize, 'z');
    Line(writer, LOG_KIND_DEBUG, "one more");
    EXPECT_EQ(ops.moves, 2);
}

TEST(LogWriter, LinesFromTwoThreadsNeverInterleave) {
    TempDir dir;
    NoFlush ops;
    CLogWriter writer(&ops);
    const fs::path path = dir.Path() / "Tessvel.log";
    ASSERT_TRUE(writer.OpenLog(path.string()));
    constexpr int kLines = 400;
    auto body = [&writer](char fill) {
        for (int i = 0; i < kLines; ++i)
            Line(writer, LOG_KIND_DEBUG, "%s", std::string(900, fill).c_str());
    };
    std::thread a(body, 'a');
    std::thread b(body, 'b');
    a.join();
    b.join();
    const auto lines = SplitLines(dir.Read(path));
    ASSERT_EQ(lines.size(), 2u * kLines);
    for (const auto& line : lines) {
        const size_t colon = line.find("]: ");
        ASSERT_NE(colon, std::string::npos);
        const std::string message = line.substr(colon + 3);
        EXPECT_TRUE(message == std::string(900, 'a') || message == std::string(900, 'b'))
            << line.substr(0, 80);
    }
}

}  // namespace
}  // namespace merravine

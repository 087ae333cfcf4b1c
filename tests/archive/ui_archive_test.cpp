// The UI archive: packing a real folder and reading it back, the packer's limits, and a
// reader that survives truncated and corrupted archives (run under the asan preset to catch
// any read outside the archive's bytes).
#include "archive/ui_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "archive/embedded_ui.h"
#include "archive/ui_archive_writer.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

std::string RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string Repeated(std::string_view piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

std::vector<uint8_t> PackOrFail(std::vector<UiItem> items) {
    UiPackResult packed = PackUiItems(std::move(items));
    EXPECT_EQ(packed.error, "");
    return packed.archive;
}

TEST(UiArchiveTest, FolderRoundTripIgnoresCaseAndKeepsEveryByte) {
    testing::TempDir dir;
    const std::string page = "<html><body>" + Repeated("<p>duplicate</p>", 200) + "</body></html>";
    const std::string noise = RandomBytes(4096, 7);
    std::string large;
    for (int i = 0; i < 40000; ++i) large += "row " + std::to_string(i) + ";\n";
    dir.Write("index.html", page);
    dir.Write("main/Choisir.html", "<p>choose</p>");
    dir.Write("css/empty.css", "");
    dir.Write("images/noise.bin", noise);
    dir.Write("tis/large.js", large);
    dir.Write("tis/x", "1");
    dir.Write(".hidden", "not packed");
    dir.Write(".git/config", "not packed");

    std::string error;
    std::vector<UiItem> items = CollectUiFolder(dir.Path(), error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(items.size(), 6u);
    UiPackResult packed = PackUiItems(items);
    ASSERT_EQ(packed.error, "");
    // Only the page and the large script shrink; noise, short and empty files stay plain.
    EXPECT_EQ(packed.compressed_items, 2u);
    EXPECT_LT(packed.archive.size(), page.size() + large.size() + noise.size());

    const auto archive = UiArchive::Open(packed.archive);
    ASSERT_TRUE(archive.has_value());
    EXPECT_EQ(archive->ItemCount(), 6u);
    const struct {
        const char* path;
        std::string expected;
    } found[] = {
        {"index.html", page},
        {"INDEX.HTML", page},
        {"/index.html", page},
        {"//Index.Html", page},
        {"main/choisir.html", "<p>choose</p>"},
        {"MAIN/CHOISIR.HTML", "<p>choose</p>"},
        {"css/empty.css", ""},
        {"images/noise.bin", noise},
        {"tis/large.js", large},
        {"tis/X", "1"},
    };
    for (const auto& c : found) {
        const auto bytes = archive->Fetch(c.path);
        ASSERT_TRUE(bytes.has_value()) << c.path;
        EXPECT_EQ(*bytes, c.expected) << c.path;
    }
    for (const char* absent : {"", "index.htm", "index.html2", "main", "main/", "tis", ".hidden",
                               ".git/config", "main\\choisir.html", "missing"}) {
        EXPECT_FALSE(archive->Fetch(absent).has_value()) << absent;
        EXPECT_EQ(archive->Find(absent), 0u) << absent;
    }
    EXPECT_FALSE(archive->Fetch(std::string_view("index.html\0x", 12)).has_value());
}

TEST(UiArchiveTest, NonAsciiPathsAndTheEmptyArchive) {
    const auto bytes = PackOrFail({{"images/\xC3\xA9t\xC3\xA9.png", "summer"},
                                   {"raw/\xFF\xFE.bin", "raw"},
                                   {"emoji/\xF0\x9F\x98\x80.txt", "smile"}});
    const auto archive = UiArchive::Open(bytes);
    ASSERT_TRUE(archive.has_value());
    EXPECT_EQ(archive->Fetch("IMAGES/\xC3\xA9t\xC3\xA9.PNG").value_or("?"), "summer");
    EXPECT_EQ(archive->Fetch("raw/\xFF\xFE.bin").value_or("?"), "raw");
    EXPECT_EQ(archive->Fetch("emoji/\xF0\x9F\x98\x80.txt").value_or("?"), "smile");
    // Only ASCII letters fold: É is another path than é.
    EXPECT_FALSE(archive->Fetch("images/\xC3\x89t\xC3\xA9.png").has_value());

    const auto empty_bytes = PackOrFail({});
    const auto empty = UiArchive::Open(empty_bytes);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->ItemCount(), 0u);
    EXPECT_FALSE(empty->Fetch("index.html").has_value());
}

TEST(UiArchiveTest, PackerRefusesWhatTheLayoutCannotHold) {
    EXPECT_NE(PackUiItems({{"Index.html", "a"}, {"index.HTML", "b"}}).error.find("letter case"),
              std::string::npos);
    EXPECT_NE(PackUiItems({{"/", "a"}}).error, "");

    // Long distinct paths need one node per character: 300 x 250 exceeds the 16-bit links.
    std::vector<UiItem> many;
    for (int i = 0; i < 300; ++i) {
        std::string path = std::to_string(i) + "/";
        for (int k = 0; k < 250; ++k) path += static_cast<char>('a' + (i * 7 + k * 13) % 26);
        many.push_back({path, "x"});
    }
    const UiPackResult overflow = PackUiItems(many);
    EXPECT_NE(overflow.error.find("tree nodes"), std::string::npos) << overflow.error;
    EXPECT_TRUE(overflow.archive.empty());

    // Just under the limit everything is still found.
    many.resize(200);
    const auto bytes = PackOrFail(many);
    const auto archive = UiArchive::Open(bytes);
    ASSERT_TRUE(archive.has_value());
    for (const UiItem& item : many) EXPECT_EQ(archive->Fetch(item.path).value_or(""), "x");
}

class CorruptArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        items_ = {{"index.html", Repeated("<div>text</div>", 50)},
                  {"main/a.html", "plain"},
                  {"main/b.html", Repeated("abcabcabc", 30)},
                  {"empty.css", ""}};
        archive_ = PackOrFail(items_);
    }

    // Opens `bytes` from a buffer of exactly that size (so asan sees any overrun) and, when
    // they open, fetches every known path and a few unknown ones.
    static void OpenAndFetchAll(const std::vector<uint8_t>& bytes,
                                const std::vector<UiItem>& items) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        const auto archive = UiArchive::Open(std::span<const uint8_t>(exact.get(), bytes.size()));
        if (!archive) return;
        for (const UiItem& item : items) (void)archive->Fetch(item.path);
        for (const char* other : {"", "x", "main/", "zzzz", "index.htmlx"}) {
            (void)archive->Fetch(other);
        }
    }

    std::vector<UiItem> items_;
    std::vector<uint8_t> archive_;
};

TEST_F(CorruptArchiveTest, EveryTruncationIsRejected) {
    for (size_t length = 0; length < archive_.size(); ++length) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[length + 1]);
        std::copy(archive_.begin(), archive_.begin() + static_cast<long>(length), exact.get());
        EXPECT_FALSE(UiArchive::Open(std::span<const uint8_t>(exact.get(), length)).has_value())
            << "length " << length;
    }
    EXPECT_TRUE(UiArchive::Open(archive_).has_value());
}

TEST_F(CorruptArchiveTest, FlippedBytesNeverReadOutOfBounds) {
    for (size_t at = 0; at < archive_.size(); ++at) {
        for (int mask : {0x01, 0x80, 0xFF, 0x7F}) {
            std::vector<uint8_t> bad = archive_;
            bad[at] = static_cast<uint8_t>(bad[at] ^ mask);
            OpenAndFetchAll(bad, items_);
        }
    }
    std::mt19937 random(42);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bad = archive_;
        for (int k = 0; k < 4; ++k) bad[random() % bad.size()] = static_cast<uint8_t>(random());
        OpenAndFetchAll(bad, items_);
    }
}

TEST_F(CorruptArchiveTest, LoopingLinksAndBadSizesAreHandled) {
    // Node 0's lower and higher links pointing back at node 0: a lookup must still end.
    std::vector<uint8_t> looped = archive_;
    looped[10] = 0, looped[11] = 0;  // lower
    looped[14] = 0, looped[15] = 0;  // higher
    const auto archive = UiArchive::Open(looped);
    ASSERT_TRUE(archive.has_value());
    EXPECT_FALSE(archive->Fetch("\x01").has_value());
    EXPECT_FALSE(archive->Fetch("\xEF\xBF\xBF").has_value());

    // A node count beyond what the bytes hold, and an absurd unpacked size.
    std::vector<uint8_t> too_many = archive_;
    too_many[4] = 0xFF, too_many[5] = 0xFF, too_many[6] = 0, too_many[7] = 0;
    EXPECT_FALSE(UiArchive::Open(too_many).has_value());

    const uint32_t nodes = archive_[4] | (archive_[5] << 8);
    const size_t first_entry = 8 + nodes * 8 + 4;
    std::vector<uint8_t> huge = archive_;
    std::memset(&huge[first_entry + 8], 0xFF, 4);
    EXPECT_FALSE(UiArchive::Open(huge).has_value());

    // A compressed stream that does not unpack to its recorded size: the item is absent.
    UiPackResult packed = PackUiItems({{"a.txt", Repeated("xyz", 100)}});
    ASSERT_EQ(packed.compressed_items, 1u);
    std::vector<uint8_t> wrong = packed.archive;
    const uint32_t one_node_count = wrong[4] | (wrong[5] << 8);
    const size_t entry = 8 + one_node_count * 8 + 4;
    wrong[entry + 8] = static_cast<uint8_t>(wrong[entry + 8] + 1);
    const auto damaged = UiArchive::Open(wrong);
    ASSERT_TRUE(damaged.has_value());
    EXPECT_FALSE(damaged->Fetch("a.txt").has_value());
}

TEST(UiArchiveTest, EmbeddedArchiveHoldsTheUiFolderAsBuilt) {
    const auto archive = UiArchive::Open(EmbeddedUiArchive());
    ASSERT_TRUE(archive.has_value());
    // The source tree's ui folder (not found from __FILE__, which a compiler cache
    // may have made relative).
    const std::filesystem::path ui = MERRAVINE_UI_SOURCE_DIR;
    std::vector<UiItem> items;
    if (std::filesystem::is_directory(ui)) {
        std::string error;
        items = CollectUiFolder(ui, error);
        ASSERT_EQ(error, "");
    }
    EXPECT_EQ(archive->ItemCount(), items.size());
    for (const UiItem& item : items) {
        EXPECT_EQ(archive->Fetch(item.path), std::optional<std::string>(item.bytes)) << item.path;
    }
}

}  // namespace
}  // namespace merravine

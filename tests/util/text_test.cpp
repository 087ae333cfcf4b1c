#include "util/text.h"

#include <gtest/gtest.h>

#include <random>

namespace merravine {
namespace {

struct StorageCase {
    std::string text;
    std::string stored;
};

TEST(StorageForm, KnownEncodings) {
    const StorageCase cases[] = {
        {"", ""},
        {"C:\\", "QwA6AFwA"},
        {"/", "LwA="},
        {"/data", "LwBkAGEAdABhAA=="},
        {"\xC3\xA9", "6QA="},              // é: one unit above ASCII
        {"\xF0\x9F\x98\x80", "PdgA3g=="},  // U+1F600: a surrogate pair
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToBase64(c.text), c.stored) << c.text;
        EXPECT_EQ(FromBase64(c.stored), c.text) << c.stored;
    }
}

TEST(StorageForm, DecodingEdges) {
    EXPECT_EQ(FromBase64("abcde"), "abcde");              // not a multiple of 4: unchanged
    EXPECT_EQ(FromBase64("/tmp/x"), "/tmp/x");            // 6 characters: a hand-typed path stays
    EXPECT_EQ(FromBase64("QQ=="), "");                    // one decoded byte: odd, dropped
    EXPECT_EQ(FromBase64("AAA="), std::string(1, '\0'));  // embedded zero unit kept
}

TEST(Base64, PaddingAndAlphabet) {
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("\xFB\xFF"), "+/8=");
    EXPECT_EQ(Base64Decode("Zm9vYg=="), "foob");
    EXPECT_EQ(Base64Decode("Zm9vYmE="), "fooba");
    EXPECT_EQ(Base64Decode("+/8="), "\xFB\xFF");
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_FALSE(Base64Decode("Zm9").has_value());
    // '=' in the second place of the last group ends it after one byte.
    EXPECT_EQ(Base64Decode("Zg=A"), "f");
}

// Every byte string, valid UTF-8 or not, survives the trip through UTF-16 and
// through the storage form byte for byte.
TEST(Utf8, AnyBytesSurviveEveryConversion) {
    std::vector<std::string> names = {
        "plain",
        "caf\xC3\xA9",
        "\xE4\xB8\xAD\xE6\x96\x87",
        "\xF0\x9F\x98\x80",
        "bad\xFF",
        "\x80",
        "\xC3",
        "\xC3(",
        "\xE0\x80\x80",      // overlong
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xC0\xAF",
        "trunc\xE2\x82",
        std::string("nul\0in", 6),
    };
    std::mt19937 random(7);
    for (int n = 0; n < 200; ++n) {
        std::string bytes(random() % 12, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
        names.push_back(bytes);
    }
    for (const auto& name : names) {
        EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(name)), name);
        EXPECT_EQ(FromBase64(ToBase64(name)), name);
    }
}

TEST(Utf8, InvalidBytesBecomeLoneSurrogates) {
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b"),
              std::u16string(u"a\xDCFF"
                             u"b"));
    EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), std::u16string(u"\xDCE0\xDC80\xDC80"));
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    // A lone surrogate that stands for no byte has no UTF-8 form: U+FFFD.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
    EXPECT_EQ(CutToUtf16Units("a\xF0\x9F\x98\x80\xFF", 4), "a\xF0\x9F\x98\x80\xFF");
    EXPECT_EQ(CutToUtf16Units("a\xF0\x9F\x98\x80\xFF", 3), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(CutToUtf16Units("ab\xF0\x9F\x98\x80", 3), "ab");  // no half pair
    EXPECT_EQ(CutToUtf16Units("ab\xC3\xA9z", 3), "ab\xC3\xA9");
}

}  // namespace
}  // namespace merravine

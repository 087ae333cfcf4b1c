// A scan of a known tree finds exactly the known sets on Windows: twins across folders
// and across two search folders, near twins that differ in their first, middle or last
// byte, sizes around the read block, names with spaces and non-ASCII letters, a
// hard link, and files that stand alone.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/windows/win_text.h"
#include "windows_test_support.h"

namespace merravine {
namespace {

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string Flipped(std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    return bytes;
}

TEST(WindowsScan, FindsExactlyTheSetsOfAKnownTree) {
    testing::TempDir temp;
    const std::string one = testing::ProgramFolder(temp) + "/first root";
    const std::string two = testing::ProgramFolder(temp) + "/second root";
    const std::string big = Pattern(70001, 1);
    const std::string block = Pattern(65536, 2);
    const std::string small = Pattern(33, 3);

    std::set<std::set<std::string>> expected;
    const auto write = [](const std::string& path, const std::string& bytes) {
        testing::WriteFileAt(path, bytes);
    };
    // Three twins of the big file in two roots; near twins of it stand alone.
    write(one + "/a/big.bin", big);
    write(one + "/b/c/big copy.bin", big);
    write(two + "/big \xC3\xA9t\xC3\xA9.bin", big);
    expected.insert(
        {one + "/a/big.bin", one + "/b/c/big copy.bin", two + "/big \xC3\xA9t\xC3\xA9.bin"});
    write(one + "/a/first differs.bin", Flipped(big, 0));
    write(one + "/a/middle differs.bin", Flipped(big, 35000));
    write(one + "/a/last differs.bin", Flipped(big, 70000));
    // A pair of one read block, and a pair of a near twin of it with its hard link.
    write(one + "/block 1.dat", block);
    write(two + "/deep/er/block 2.dat", block);
    expected.insert({one + "/block 1.dat", two + "/deep/er/block 2.dat"});
    write(one + "/block last.dat", Flipped(block, 65535));
    ASSERT_TRUE(CreateHardLinkW(platform::SystemPath(two + "/block link.dat").c_str(),
                                platform::SystemPath(one + "/block last.dat").c_str(), nullptr));
    expected.insert({one + "/block last.dat", two + "/block link.dat"});
    // Small files: a set of four, and two of another content.
    for (const char* name : {"/s1.txt", "/a/s2.txt", "/b/s3.TXT", "/b/c/s4.txt"})
        write(one + name, small);
    expected.insert({one + "/s1.txt", one + "/a/s2.txt", one + "/b/s3.TXT", one + "/b/c/s4.txt"});
    write(two + "/x.txt", Flipped(small, 16));
    write(two + "/y.txt", Flipped(small, 16));
    expected.insert({two + "/x.txt", two + "/y.txt"});
    write(two + "/alone.txt", Pattern(33, 4));

    EXPECT_EQ(testing::SearchSets({one, two}, 0), expected);
    // Searching one root twice finds each file once.
    std::set<std::set<std::string>> only_one;
    for (const auto& set : expected) {
        std::set<std::string> inside;
        for (const auto& path : set) {
            if (path.rfind(one, 0) == 0) inside.insert(path);
        }
        if (inside.size() > 1) only_one.insert(inside);
    }
    EXPECT_EQ(testing::SearchSets({one, one}, 0), only_one);
}

}  // namespace
}  // namespace merravine

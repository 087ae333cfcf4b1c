// Helpers for the search tests.
#include "search_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "search/result_rows.h"

namespace merravine::testing {

SearchSettings SettingsFor(std::vector<std::string> folders) {
    SearchSettings settings;
    settings.skipflag = 0;
    settings.collapsehardlinks = 0;  // the reference lists every name
    settings.searchDirs = std::move(folders);
    settings.extensionLists[LIST_ARCHIVE] = {"7z", "gz", "zip"};
    settings.extensionLists[LIST_DOCUMENT] = {"doc", "pdf", "txt"};
    settings.extensionLists[LIST_AUDIO] = {"mp3", "wav", "both"};
    settings.extensionLists[LIST_VIDEO] = {"avi", "mp4"};
    settings.extensionLists[LIST_PICTURE] = {"jpg", "png", "both"};
    settings.extensionLists[LIST_PROGRAM] = {"exe", "dll"};
    return settings;
}

void RunSearchToEnd(SearchEngine& engine) {
    ASSERT_TRUE(StartSearch(engine));
    WaitForSearch(engine);
    ASSERT_EQ(engine.state.load(), W_READY);
    EXPECT_EQ(engine.unbalancedNumber.load(), 0) << "a file reached no outcome, or two";
}

std::vector<std::vector<std::string>> DeliveredSets(const SearchEngine& engine) {
    std::vector<std::vector<std::string>> sets;
    const auto lock = engine.LockGroups();
    int32_t last = 0;
    ForEachDeliveredMember(engine.groups, KIND_ALL, SIZE_MAX,
                           [&](const SizeGroup&, const FileRecord& member, int32_t set) {
                               if (set != last) sets.emplace_back();
                               last = set;
                               sets.back().push_back(member.FullPath());
                           });
    return sets;
}

std::set<std::set<std::string>> Unordered(const std::vector<std::vector<std::string>>& sets) {
    std::set<std::set<std::string>> result;
    for (const auto& set : sets) result.insert(std::set<std::string>(set.begin(), set.end()));
    return result;
}

std::set<std::set<std::string>> BruteForceSets(const std::filesystem::path& root,
                                               const std::set<std::string>& unreadable) {
    std::map<std::string, std::set<std::string>> by_content;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!std::filesystem::is_regular_file(entry.symlink_status())) continue;
        if (unreadable.count(entry.path().string()) != 0) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        by_content[content.str()].insert(entry.path().string());
    }
    std::set<std::set<std::string>> sets;
    for (const auto& [content, paths] : by_content) {
        if (paths.size() >= 2) sets.insert(paths);
    }
    return sets;
}

void WritePattern(const std::filesystem::path& path, size_t size, unsigned seed, size_t flip) {
    std::string content(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    if (flip < size) content[flip] = static_cast<char>(content[flip] ^ 0x5A);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace merravine::testing

// Helpers for the Windows suites.
#include "windows_test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/windows/win_text.h"
#include "search/result_rows.h"
#include "search/search_commands.h"

namespace merravine::testing {

std::string ProgramFolder(const TempDir& temp) {
    return platform::ProgramPath(temp.Path().wstring());
}

void WriteFileAt(const std::string& path, std::string_view content) {
    const std::wstring full = platform::SystemPath(path);
    // The folders first, one component at a time after the drive.
    for (size_t slash = full.find(L'\\', 7); slash != std::wstring::npos;
         slash = full.find(L'\\', slash + 1)) {
        CreateDirectoryW(full.substr(0, slash).c_str(), nullptr);
    }
    HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << " (" << GetLastError() << ")";
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    CloseHandle(file);
}

bool AddAttributes(const std::string& path, unsigned long add) {
    const std::wstring full = platform::SystemPath(path);
    const DWORD before = GetFileAttributesW(full.c_str());
    if (before == INVALID_FILE_ATTRIBUTES) return false;
    if (!SetFileAttributesW(full.c_str(),
                            (before & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) | add))
        return false;
    const DWORD after = GetFileAttributesW(full.c_str());
    return after != INVALID_FILE_ATTRIBUTES && (after & add) == add;
}

std::set<std::set<std::string>> SearchSets(const std::vector<std::string>& folders,
                                           int32_t skipflag) {
    SearchEngine engine;
    engine.settings.skipflag = skipflag;
    engine.settings.collapsehardlinks = 0;
    engine.settings.searchDirs = folders;
    engine.settings.extensionLists[LIST_DOCUMENT] = {"txt"};
    engine.settings.extensionLists[LIST_PROGRAM] = {"exe", "dll"};
    std::set<std::set<std::string>> sets;
    EXPECT_TRUE(StartSearch(engine));
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);
    const auto lock = engine.LockGroups();
    std::map<int32_t, std::set<std::string>> by_set;
    ForEachDeliveredMember(engine.groups, KIND_ALL, SIZE_MAX,
                           [&](const SizeGroup&, const FileRecord& member, int32_t set) {
                               by_set[set].insert(member.FullPath());
                           });
    for (auto& [id, members] : by_set) sets.insert(std::move(members));
    return sets;
}

}  // namespace merravine::testing

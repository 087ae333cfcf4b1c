// Folder listings through FindFirstFileExW on "\\?\" paths (no length limit), entries
// examined through handles opened without following reparse points, and the hidden and
// system attributes the filters ask about.
#include "platform/file_walk.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/windows/win_file_info.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

struct ListingState {
    std::wstring folder;  // system path with a trailing "\"
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false;  // data holds an entry not yet handed out
    std::string name;
};

ListingState* AsState(void* dir) { return static_cast<ListingState*>(dir); }

}  // namespace

DirectoryListing::DirectoryListing(const std::string& path, bool followLink) {
    auto state = std::make_unique<ListingState>();
    state->folder = SystemPath(path);
    EntryStat self;
    if (const int error = StatSystemPath(state->folder, followLink, self); error != 0) {
        error_ = error;
        return;
    }
    if (self.type != EntryType::Directory) {
        error_ = self.type == EntryType::Symlink ? ELOOP : ENOTDIR;
        return;
    }
    if (state->folder.back() != L'\\') state->folder.push_back(L'\\');
    const std::wstring pattern = state->folder + L"*";
    state->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &state->data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (state->find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
            error_ = ErrnoFromWin32(error);
            return;
        }
    } else {
        state->pending = true;
    }
    dir_ = state.release();
}

DirectoryListing::~DirectoryListing() {
    if (dir_ == nullptr) return;
    ListingState* state = AsState(dir_);
    if (state->find != INVALID_HANDLE_VALUE) FindClose(state->find);
    delete state;
}

bool DirectoryListing::Next(std::string_view& name, EntryType& type) {
    if (dir_ == nullptr) return false;
    ListingState* state = AsState(dir_);
    if (!state->pending) {
        if (state->find == INVALID_HANDLE_VALUE) return false;
        if (!FindNextFileW(state->find, &state->data)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) error_ = ErrnoFromWin32(error);
            return false;
        }
    }
    state->pending = false;
    const DWORD attributes = state->data.dwFileAttributes;
    state->name = NarrowFromWide(state->data.cFileName);
    name = state->name;
    type = TypeFromAttributes(attributes);
    entry_hidden_ = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    entry_system_ = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    return true;
}

int DirectoryListing::Stat(const char* name, EntryStat& out) const {
    if (dir_ == nullptr) return EBADF;
    const ListingState* state = AsState(dir_);
    const std::string_view text(name);
    if (text == "." || text.empty()) return StatSystemPath(state->folder, true, out);
    return StatSystemPath(state->folder + WideFromNarrow(text), false, out);
}

int StatPath(const std::string& path, EntryStat& out) { return StatSystemPath(SystemPath(path), false, out); }

bool DirectoryListing::OnPseudoFileSystem() const { return false; }

bool DirectoryListing::IsMountRoot() const {
    if (dir_ == nullptr) return false;
    const std::wstring& folder = AsState(dir_)->folder;
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(folder.c_str(), volume, MAX_PATH)) return false;
    std::wstring root = volume;
    if (!root.empty() && root.back() != L'\\') root.push_back(L'\\');
    // The listing's folder carries the "\\?\" prefix; the volume path may not.
    const std::wstring_view tail(folder);
    return tail.size() >= root.size() && tail.substr(tail.size() - root.size()) == root &&
           (tail.size() == root.size() || tail.substr(0, tail.size() - root.size()) == L"\\\\?\\");
}

std::string UserTrashFolder() { return {}; }

}  // namespace merravine::platform

// Folder walks on Windows: each open folder is a handle (opened without following a
// reparse point, and without delete sharing, so it cannot be renamed away while open),
// its entries listed with FindFirstFileExW on its "\\?\" path (no length limit), and
// each entry examined through a handle of its own. Handles travel in the int fields of
// the shared interface: kernel handles fit into 32 bits on every Windows.
#include "platform/file_walk.h"

#include <windows.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "platform/file_read.h"
#include "platform/windows/win_file_info.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

// The system path (with a trailing "\") of each open WalkFolder, by its handle.
std::mutex g_paths_mutex;
std::unordered_map<int, std::wstring> g_paths;

std::wstring PathOf(int fd) {
    std::lock_guard lock(g_paths_mutex);
    const auto found = g_paths.find(fd);
    return found != g_paths.end() ? found->second : std::wstring();
}

// Opens the folder at `path` as a handle; 0 or the errno.
int OpenFolderHandle(const std::wstring& path, bool followLink, int& fd) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastErrno();
    EntryStat info;
    const int error = StatHandle(handle, info);
    if (error != 0 || info.type != EntryType::Directory) {
        CloseHandle(handle);
        return error != 0 ? error : (info.type == EntryType::Symlink ? ELOOP : ENOTDIR);
    }
    fd = HandleToLong(handle);
    std::lock_guard lock(g_paths_mutex);
    g_paths[fd] = path.back() == L'\\' ? path : path + L'\\';
    return 0;
}

struct FindState {
    std::wstring folder;
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false;  // data holds an entry not yet handed out
    std::string name;
};

FindState* AsFind(char* buffer) { return reinterpret_cast<FindState*>(buffer); }

void EndFind(FindState* state) {
    if (state->find != INVALID_HANDLE_VALUE) FindClose(state->find);
    state->find = INVALID_HANDLE_VALUE;
    state->pending = false;
}

}  // namespace

WalkFolder& WalkFolder::operator=(WalkFolder&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int WalkFolder::Open(const std::string& path, bool followLink) {
    Close();
    return OpenFolderHandle(SystemPath(path), followLink, fd_);
}

int WalkFolder::OpenChild(const char* name, WalkFolder& child) const {
    child.Close();
    if (fd_ < 0) return EBADF;
    return OpenFolderHandle(PathOf(fd_) + WideFromNarrow(name), false, child.fd_);
}

void WalkFolder::Close() {
    if (fd_ < 0) return;
    {
        std::lock_guard lock(g_paths_mutex);
        g_paths.erase(fd_);
    }
    CloseHandle(LongToHandle(fd_));
    fd_ = -1;
}

int WalkFolder::Stat(const char* name, EntryStat& out) const {
    if (fd_ < 0) return EBADF;
    if (name[0] == '\0') return StatHandle(LongToHandle(fd_), out);
    return StatSystemPath(PathOf(fd_) + WideFromNarrow(name), false, out);
}

bool WalkFolder::OnPseudoFileSystem() const { return false; }

bool WalkFolder::IsMountRoot() const {
    if (fd_ < 0) return false;
    const std::wstring folder = PathOf(fd_);
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(folder.c_str(), volume, MAX_PATH)) return false;
    std::wstring root = volume;
    if (!root.empty() && root.back() != L'\\') root.push_back(L'\\');
    // The folder's path carries the "\\?\" prefix; the volume path may not.
    return folder == root || folder == L"\\\\?\\" + root;
}

FolderEntries::FolderEntries() : buffer_(reinterpret_cast<char*>(new FindState)) {}

FolderEntries::~FolderEntries() {
    EndFind(AsFind(buffer_));
    delete AsFind(buffer_);
}

void FolderEntries::Start(const WalkFolder& folder) {
    FindState* state = AsFind(buffer_);
    EndFind(state);
    fd_ = folder.fd_;
    error_ = 0;
    if (fd_ < 0) return;
    state->folder = PathOf(fd_);
    state->find = FindFirstFileExW((state->folder + L"*").c_str(), FindExInfoBasic, &state->data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (state->find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            error_ = ErrnoFromWin32(error);
        fd_ = -1;
        return;
    }
    state->pending = true;
}

bool FolderEntries::Next(std::string_view& name, EntryType& type) {
    if (fd_ < 0) return false;
    FindState* state = AsFind(buffer_);
    if (!state->pending) {
        if (!FindNextFileW(state->find, &state->data)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) error_ = ErrnoFromWin32(error);
            EndFind(state);
            fd_ = -1;
            return false;
        }
    }
    state->pending = false;
    const DWORD attributes = state->data.dwFileAttributes;
    state->name = NarrowFromWide(state->data.cFileName);
    name = state->name;  // zero-terminated: the string's own terminator
    type = TypeFromAttributes(attributes);
    entry_hidden_ = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    entry_system_ = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    return true;
}

int StatPath(const std::string& path, EntryStat& out) {
    return StatSystemPath(SystemPath(path), false, out);
}

std::string UserTrashFolder() { return {}; }

// Handles have no small per-process limit: an open never waits for one.
bool OutOfDescriptors(int) { return false; }

uint64_t OpenFileLimit() { return 16u * 1024u * 1024u; }

void WaitForDescriptor() { std::this_thread::yield(); }

}  // namespace merravine::platform

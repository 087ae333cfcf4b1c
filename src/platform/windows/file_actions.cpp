// The action path's file operations on Windows. A Folder holds a handle of the folder,
// opened after every component of its path was checked not to be a reparse point; the
// handle (opened without FILE_SHARE_DELETE) keeps the folder from being renamed or
// replaced while it is open, so the names inside it still mean what was checked. Deleting
// goes to the Recycle Bin for the trash action; cloning and putting a file back from the
// Recycle Bin are not offered here (EOPNOTSUPP).
#include "platform/file_actions.h"

// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/file_remove_scanned.h"
#include "platform/trash_move.h"
#include "platform/windows/win_file_info.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

// The system path (with a trailing "\") of each open Folder, by its handle.
std::mutex g_folders_mutex;
std::unordered_map<int, std::wstring> g_folder_paths;

std::wstring PathOf(const Folder& folder) {
    std::lock_guard lock(g_folders_mutex);
    const auto found = g_folder_paths.find(folder.Fd());
    return found != g_folder_paths.end() ? found->second : std::wstring();
}

std::wstring EntryPath(const Folder& folder, const std::string& name) {
    return PathOf(folder) + WideFromNarrow(name);
}

FileStamp StampFromStat(const EntryStat& info) {
    FileStamp stamp;
    stamp.plain = info.type == EntryType::File;
    stamp.device = info.device;
    stamp.inode = info.inode;
    stamp.size = info.size;
    stamp.links = info.links;
    stamp.modifyNs = info.modifyNs;
    stamp.changeNs = info.changeNs;
    stamp.accessNs = info.accessTime * 1000000000;
    return stamp;
}

bool SameFile(const FileStamp& now, const FileStamp& expect) {
    return now.plain && now.size == expect.size &&
           (expect.device == 0 || now.device == expect.device) &&
           (expect.inode == 0 || now.inode == expect.inode);
}

// Opens `path` as a folder that cannot be moved away while open; `out` registers it.
int HoldFolder(const std::wstring& path, Folder& out) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastErrno();
    EntryStat info;
    if (const int error = StatHandle(handle, info);
        error != 0 || info.type != EntryType::Directory) {
        CloseHandle(handle);
        return error != 0 ? error : (info.type == EntryType::Symlink ? ELOOP : ENOTDIR);
    }
    const int fd = HandleToLong(handle);
    {
        std::lock_guard lock(g_folders_mutex);
        g_folder_paths[fd] = path.back() == L'\\' ? path : path + L'\\';
    }
    out = Folder(fd);
    return 0;
}

// Every component from the drive on must be a folder and not a reparse point.
int CheckComponents(const std::wstring& path, bool make) {
    size_t start = path.rfind(L"\\\\?\\UNC\\", 0) == 0 ? path.find(L'\\', path.find(L'\\', 8) + 1)
                                                       : path.find(L'\\', 4);
    if (start == std::wstring::npos) return 0;
    for (size_t end = path.find(L'\\', start + 1); end != std::wstring::npos;
         end = path.find(L'\\', end + 1)) {
        const std::wstring prefix = path.substr(0, end);
        DWORD attributes = GetFileAttributesW(prefix.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES && make &&
            CreateDirectoryW(prefix.c_str(), nullptr)) {
            attributes = GetFileAttributesW(prefix.c_str());
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ELOOP;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
    }
    return 0;
}

int OpenChecked(const Folder& folder, const std::string& name, const FileStamp& expect,
                OwnedHandle& out) {
    out.handle = CreateFileW(EntryPath(folder, name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!out.Valid()) return LastErrno();
    EntryStat info;
    if (const int error = StatHandle(out.handle, info); error != 0) return error;
    return SameFile(StampFromStat(info), expect) ? 0 : ESTALE;
}

int ReadFull(HANDLE file, char* buffer, DWORD size, DWORD& got) {
    got = 0;
    while (got < size) {
        DWORD part = 0;
        if (!ReadFile(file, buffer + got, size - got, &part, nullptr)) return LastErrno();
        if (part == 0) break;
        got += part;
    }
    return 0;
}

std::wstring TemporaryName(const wchar_t* purpose) {
    return std::wstring(L".merravine-") + purpose + L"-" + std::to_wstring(GetCurrentProcessId()) +
           L"-" + std::to_wstring(GetTickCount64());
}

}  // namespace

Folder::~Folder() {
    if (fd_ < 0) return;
    {
        std::lock_guard lock(g_folders_mutex);
        g_folder_paths.erase(fd_);
    }
    CloseHandle(LongToHandle(fd_));
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        Folder dying(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

// "C:/a/b/" or "//server/share/a/" ("\\" counts as "/"): absolute, ending in a separator,
// no empty, "." or ".." part.
bool IsCanonicalFolder(std::string_view folder) {
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    size_t start = 0;
    if (folder.size() >= 3 && folder[1] == ':' && separator(folder[2]) &&
        ((folder[0] >= 'A' && folder[0] <= 'Z') || (folder[0] >= 'a' && folder[0] <= 'z'))) {
        start = 3;
    } else if (folder.size() >= 2 && separator(folder[0]) && separator(folder[1])) {
        start = 2;
    } else {
        return false;
    }
    if (!separator(folder.back())) return false;
    while (start < folder.size()) {
        const size_t end = folder.find_first_of("/\\", start);
        const std::string_view part = folder.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

int OpenFolder(const std::string& folder, Folder& out) {
    if (!IsCanonicalFolder(folder)) return EINVAL;
    const std::wstring path = SystemPath(folder);
    if (const int error = CheckComponents(path + L"\\", false); error != 0) return error;
    return HoldFolder(path, out);
}

int OpenOrMakeFolders(const Folder& base, std::string_view relative, Folder& out) {
    std::wstring path = PathOf(base);
    if (path.empty()) return EBADF;
    std::wstring below = WideFromNarrow(relative);
    for (wchar_t& c : below) {
        if (c == L'/') c = L'\\';
    }
    while (!below.empty() && below.front() == L'\\') below.erase(0, 1);
    path += below;
    if (path.back() != L'\\') path.push_back(L'\\');
    if (const int error = CheckComponents(path, true); error != 0) return error;
    return HoldFolder(path, out);
}

int StampOf(const Folder& folder, const std::string& name, FileStamp& out) {
    EntryStat info;
    if (const int error = StatSystemPath(EntryPath(folder, name), false, info); error != 0)
        return error;
    out = StampFromStat(info);
    return 0;
}

int CompareFiles(const Folder& folderA, const std::string& nameA, const FileStamp& expectA,
                 const Folder& folderB, const std::string& nameB, const FileStamp& expectB,
                 bool& equal) {
    OwnedHandle a;
    OwnedHandle b;
    if (const int error = OpenChecked(folderA, nameA, expectA, a); error != 0) return error;
    if (const int error = OpenChecked(folderB, nameB, expectB, b); error != 0) return error;
    std::vector<char> bufferA(1 << 20);
    std::vector<char> bufferB(1 << 20);
    equal = true;
    for (;;) {
        DWORD gotA = 0;
        DWORD gotB = 0;
        if (const int error =
                ReadFull(a.handle, bufferA.data(), static_cast<DWORD>(bufferA.size()), gotA))
            return error;
        if (const int error =
                ReadFull(b.handle, bufferB.data(), static_cast<DWORD>(bufferB.size()), gotB))
            return error;
        if (gotA != gotB ||
            std::char_traits<char>::compare(bufferA.data(), bufferB.data(), gotA) != 0) {
            equal = false;
            return 0;
        }
        if (gotA == 0) return 0;
    }
}

int RemoveEntry(const Folder& folder, const std::string& name) {
    const std::wstring path = EntryPath(folder, name);
    if (DeleteFileW(path.c_str())) return 0;
    // A read-only file is removed as well, as the other systems remove it.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(path.c_str(),
                           attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        if (DeleteFileW(path.c_str())) return 0;
        const int error = LastErrno();
        SetFileAttributesW(path.c_str(), attributes);
        return error;
    }
    return LastErrno();
}

int LinkOver(const Folder& keptFolder, const std::string& keptName, const FileStamp& kept,
             const Folder& folder, const std::string& name, const FileStamp& target) {
    FileStamp now;
    if (const int error = StampOf(keptFolder, keptName, now); error != 0) return error;
    if (!SameFile(now, kept)) return ESTALE;
    const std::wstring temp = PathOf(folder) + TemporaryName(L"link");
    if (!CreateHardLinkW(temp.c_str(), EntryPath(keptFolder, keptName).c_str(), nullptr))
        return LastErrno();
    EntryStat linked;
    if (StatSystemPath(temp, false, linked) != 0 || linked.inode != now.inode ||
        linked.device != now.device) {
        DeleteFileW(temp.c_str());
        return ESTALE;
    }
    if (const int error = StampOf(folder, name, now); error != 0 || !SameFile(now, target)) {
        DeleteFileW(temp.c_str());
        return error != 0 ? error : ESTALE;
    }
    if (!MoveFileExW(temp.c_str(), EntryPath(folder, name).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const int error = LastErrno();
        DeleteFileW(temp.c_str());
        return error;
    }
    return 0;
}

int CloneOver(const Folder&, const std::string&, const FileStamp&, const Folder&,
              const std::string&, const FileStamp&) {
    return EOPNOTSUPP;
}

bool CanCloneIn(const std::string&) { return false; }

int MoveEntry(const Folder& folder, const std::string& name, const FileStamp& expect,
              const Folder& targetFolder, const std::string& targetName) {
    FileStamp now;
    if (const int error = StampOf(folder, name, now); error != 0) return error;
    if (!SameFile(now, expect)) return ESTALE;
    // Without MOVEFILE_REPLACE_EXISTING an entry standing at the target is never replaced;
    // across volumes the system copies, and removes the original only after the copy.
    if (!MoveFileExW(EntryPath(folder, name).c_str(), EntryPath(targetFolder, targetName).c_str(),
                     MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        return LastErrno();
    }
    return 0;
}

int TrashEntry(const Folder& open, const std::string& folder, const std::string& name,
               const FileStamp& expect, TrashPlace& place) {
    FileStamp now;
    if (const int error = StampOf(open, name, now); error != 0) return error;
    if (!SameFile(now, expect)) return ESTALE;
    place.originalPath = folder + name;
    return TrashEntryAt(open.Fd(), name, place.originalPath, now.device, place.filePath,
                        place.infoPath);
}

int RestoreFromTrash(const TrashPlace&) { return EOPNOTSUPP; }

// The Recycle Bin takes paths in the shell's form (no "\\?\" prefix, double-zero ended).
int TrashEntryAt(int dirfd, const std::string& name, const std::string& full_path, uint64_t,
                 std::string& file_path, std::string& info_path) {
    std::wstring path;
    {
        std::lock_guard lock(g_folders_mutex);
        const auto found = g_folder_paths.find(dirfd);
        path = found != g_folder_paths.end() ? found->second + WideFromNarrow(name)
                                             : SystemPath(full_path);
    }
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.rfind(L"\\\\?\\UNC\\", 0) != 0) path.erase(0, 4);
    if (path.size() >= MAX_PATH) return ENAMETOOLONG;
    path.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = path.c_str();
    operation.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    const int result = SHFileOperationW(&operation);
    if (result != 0 || operation.fAnyOperationsAborted) return result == 0 ? ECANCELED : EACCES;
    file_path.clear();  // the Recycle Bin keeps its own names
    info_path.clear();
    return 0;
}

RemoveOutcome CheckScannedFile(const std::string& full_path, uint64_t expected_size) {
    EntryStat info;
    const int error = StatPath(full_path, info);
    if (error != 0) return error == ENOENT ? RemoveOutcome::kAlreadyGone : RemoveOutcome::kFailed;
    if (info.type != EntryType::File || info.size != expected_size)
        return RemoveOutcome::kNotTheScannedFile;
    return RemoveOutcome::kRemoved;
}

RemoveOutcome RemoveScannedFile(const std::string& full_path, uint64_t expected_size) {
    const RemoveOutcome check = CheckScannedFile(full_path, expected_size);
    if (check != RemoveOutcome::kRemoved) return check;
    if (DeleteFileW(SystemPath(full_path).c_str())) return RemoveOutcome::kRemoved;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? RemoveOutcome::kAlreadyGone
                                                  : RemoveOutcome::kFailed;
}

RemoveOutcome TrashScannedFile(const std::string& full_path, uint64_t expected_size) {
    const RemoveOutcome check = CheckScannedFile(full_path, expected_size);
    if (check != RemoveOutcome::kRemoved) return check;
    std::string file_path;
    std::string info_path;
    return TrashEntryAt(-1, {}, full_path, 0, file_path, info_path) == 0 ? RemoveOutcome::kRemoved
                                                                         : RemoveOutcome::kFailed;
}

std::string HomeTrashFolder() { return {}; }

}  // namespace merravine::platform

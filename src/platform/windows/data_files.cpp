// The program's own files on Windows: where they live (beside the program when that
// folder is writable, else %APPDATA%\merravine), whole-file reads and replacements, and
// the log's file operations. Handles travel in the int fields of the shared interface:
// kernel handles fit into 32 bits on every Windows.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/data_folder.h"
#include "platform/log_file_ops.h"
#include "platform/module_directory.h"
#include "platform/windows/win_file_info.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

std::string Env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr ? ProgramPath(value) : "";
}

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

DataPaths AllIn(const std::string& folder) {
    DataPaths paths;
    paths.config_file = Join(folder, kConfigName);
    paths.database_file = Join(folder, kDatabaseName);
    paths.log_folder = Join(folder, kLogFolderName);
    paths.cache_file = Join(folder, kCacheName);
    return paths;
}

// Whether a file can be made in `folder`: tries one that goes when its handle closes.
bool FolderWritable(const std::string& folder) {
    const std::wstring probe = SystemPath(Join(folder, ".merravine-write-test"));
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

HANDLE AsHandle(int fd) { return LongToHandle(fd); }

bool WriteAll(HANDLE file, const char* data, size_t length) {
    while (length > 0) {
        const DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        length -= written;
    }
    return true;
}

}  // namespace

// On Windows the user's folder is %APPDATA% (carried in xdg_data_home), else the
// profile's AppData\Roaming (carried in home).
DataPaths ChooseDataPaths(const DataFolderInputs& inputs) {
    if (!inputs.data_dir_option.empty()) return AllIn(inputs.data_dir_option);
    if (!inputs.data_dir_env.empty()) return AllIn(inputs.data_dir_env);
    if (!inputs.program_folder.empty() && inputs.program_folder_writable)
        return AllIn(inputs.program_folder);
    const std::string roaming =
        !inputs.xdg_data_home.empty() ? inputs.xdg_data_home : Join(inputs.home, "AppData/Roaming");
    return AllIn(Join(roaming, kAppFolderName));
}

std::string HomeFolder() {
    std::string home = Env(L"USERPROFILE");
    if (home.empty()) home = Env(L"HOMEDRIVE") + Env(L"HOMEPATH");
    return home;
}

DataPaths ResolveDataPaths(const std::string& data_dir_option) {
    DataFolderInputs inputs;
    const auto absolute = [](const std::string& path) {
        return path.empty() ? path : ProgramPath(SystemPath(path));
    };
    inputs.data_dir_option = absolute(data_dir_option);
    inputs.data_dir_env = absolute(Env(L"MERRAVINE_DATA_DIR"));
    inputs.program_folder = GetModuleDirectory();
    inputs.program_folder_writable =
        !inputs.program_folder.empty() && FolderWritable(inputs.program_folder);
    inputs.home = HomeFolder();
    inputs.xdg_data_home = Env(L"APPDATA");
    return MakeDataFolders(ChooseDataPaths(inputs));
}

FileReadStatus ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    OwnedHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? FileReadStatus::kMissing
                   : FileReadStatus::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FileReadStatus::kNotPlainFile;
    }
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr))
            return FileReadStatus::kFailed;
        if (got == 0) return FileReadStatus::kOk;
        content.append(buffer, got);
    }
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string& error) {
    const std::wstring target = SystemPath(path);
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        wchar_t suffix[32];
        std::swprintf(suffix, 32, L".tmp-%06lx",
                      (GetTickCount() + GetCurrentProcessId() * 7919u + attempt) & 0xFFFFFFu);
        temp = target + suffix;
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot create a temporary file beside " + path;
        return false;
    }
    const bool written = WriteAll(file, content.data(), content.size()) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!written) {
        DeleteFileW(temp.c_str());
        error = "cannot write " + path;
        return false;
    }
    if (!MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temp.c_str());
        error = "cannot replace " + path;
        return false;
    }
    return true;
}

bool CreatePrivateFile(const std::string& path) {
    HANDLE file = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

int RemoveLeftoverTemporaries(const std::string& path) {
    const std::wstring target = SystemPath(path);
    const size_t slash = target.rfind(L'\\');
    const std::wstring folder = target.substr(0, slash + 1);
    const std::wstring pattern = target + L".tmp-*";
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            DeleteFileW((folder + data.cFileName).c_str())) {
            ++removed;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return removed;
}

int LogFileOps::OpenForAppend(const std::string& path) {
    HANDLE file = CreateFileW(SystemPath(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    return HandleToLong(file);
}

bool LogFileOps::Write(int fd, const char* data, size_t length) {
    return WriteAll(AsHandle(fd), data, length);
}

void LogFileOps::Flush(int fd) { FlushFileBuffers(AsHandle(fd)); }

int64_t LogFileOps::Size(int fd) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AsHandle(fd), &size)) return -1;
    return size.QuadPart;
}

void LogFileOps::Close(int fd) { CloseHandle(AsHandle(fd)); }

bool LogFileOps::Exists(const std::string& path) {
    return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool LogFileOps::Remove(const std::string& path) {
    return DeleteFileW(SystemPath(path).c_str()) != 0;
}

bool LogFileOps::Move(const std::string& from, const std::string& to) {
    return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MakeFolder(const std::string& path) {
    const std::wstring folder = SystemPath(path);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeFolders(const std::string& path) {
    if (path.empty()) return false;
    // From the first folder below the drive or share on.
    for (size_t slash = path.find_first_of("/\\", 1); slash != std::string::npos;
         slash = path.find_first_of("/\\", slash + 1)) {
        if (slash <= 2 || (path[0] == '/' && path[1] == '/' && slash < 3)) continue;
        MakeFolder(path.substr(0, slash));
    }
    return MakeFolder(path);
}

}  // namespace merravine::platform

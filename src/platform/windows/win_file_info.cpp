// File status through handles.
#include "platform/windows/win_file_info.h"

#include "platform/windows/win_text.h"

namespace merravine::platform {

HANDLE OpenForAttributes(const std::wstring& system_path, bool follow) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileW(system_path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

EntryType TypeFromAttributes(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryType::Symlink;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryType::Directory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryType::Other;
    return EntryType::File;
}

int StatHandle(HANDLE handle, EntryStat& out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return LastErrno();
    out = EntryStat{};
    out.type = TypeFromAttributes(info.dwFileAttributes);
    if (out.type == EntryType::File && GetFileType(handle) != FILE_TYPE_DISK)
        out.type = EntryType::Other;
    out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out.device = info.dwVolumeSerialNumber;
    out.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.links = info.nNumberOfLinks;
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    out.hasCreateTime = true;
    out.createTime = NsFromFileTime(ticks(info.ftCreationTime)) / 1000000000;
    out.modifyNs = NsFromFileTime(ticks(info.ftLastWriteTime));
    out.modifyTime = out.modifyNs / 1000000000;
    out.accessTime = NsFromFileTime(ticks(info.ftLastAccessTime)) / 1000000000;
    // The change time (metadata included) where the file system keeps one.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
        basic.ChangeTime.QuadPart != 0) {
        out.changeNs = NsFromFileTime(static_cast<uint64_t>(basic.ChangeTime.QuadPart));
    } else {
        out.changeNs = out.modifyNs;
    }
    return 0;
}

int StatSystemPath(const std::wstring& system_path, bool follow, EntryStat& out) {
    OwnedHandle file(OpenForAttributes(system_path, follow));
    if (!file.Valid()) return LastErrno();
    return StatHandle(file.handle, out);
}

}  // namespace merravine::platform

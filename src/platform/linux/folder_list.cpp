// Folder listing with opendir/readdir; the entry type comes from d_type, or from lstat-like
// fstatat when the file system does not fill it in.
#include "platform/folder_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/data_folder.h"
#include "util/text.h"

namespace merravine::platform {

namespace {

bool NameLess(const FolderEntry& a, const FolderEntry& b) {
    const auto folded_less = [](char x, char y) {
        return static_cast<unsigned char>(AsciiLower(x)) <
               static_cast<unsigned char>(AsciiLower(y));
    };
    if (std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                     folded_less)) {
        return true;
    }
    if (std::lexicographical_compare(b.name.begin(), b.name.end(), a.name.begin(), a.name.end(),
                                     folded_less)) {
        return false;
    }
    return a.name < b.name;
}

std::string Home() {
    std::string home = HomeFolder();
    return home.starts_with('/') ? home : "/";
}

std::string Resolve(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path full;
    if (path.empty() || path == "~") {
        full = Home();
    } else if (path.starts_with("~/")) {
        full = fs::path(Home()) / path.substr(2);
    } else if (path.front() == '/') {
        full = path;
    } else {
        full = fs::path(Home()) / path;
    }
    std::string text = full.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::string ErrorText(int error) {
    return std::error_code(error, std::system_category()).message();
}

}  // namespace

FolderListing ListSubfolders(const std::string& path) {
    FolderListing listing;
    listing.resolved = Resolve(path);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(listing.resolved.c_str()), closedir);
    if (!dir) {
        listing.error = ErrorText(errno);
        return listing;
    }
    const int dir_fd = dirfd(dir.get());
    while (true) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) listing.error = ErrorText(errno);
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool is_folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            is_folder =
                fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        if (is_folder) listing.folders.push_back(FolderEntry{name, name[0] == '.'});
    }
    std::sort(listing.folders.begin(), listing.folders.end(), NameLess);
    return listing;
}

}  // namespace merravine::platform

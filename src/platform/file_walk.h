// Listing folders for the duplicate search: one open folder at a time, entries
// examined without following symbolic links, and the questions the filters ask of a
// folder (is it on a pseudo file system, is it the root of a mount).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merravine::platform {

enum class EntryType : uint8_t { Unknown, File, Directory, Symlink, Other };

/// What the search needs to know about one entry, read without following a link.
struct EntryStat {
    EntryType type = EntryType::Unknown;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t links = 0;
    bool hasCreateTime = false;  ///< the file system keeps a creation time
    int64_t createTime = 0;      ///< seconds since 1970 UTC
    int64_t modifyTime = 0;
    int64_t accessTime = 0;
    int64_t modifyNs = 0;  ///< last-write time in nanoseconds since 1970 UTC
    int64_t changeNs = 0;  ///< status-change time in nanoseconds since 1970 UTC
};

/// An open folder listing. Closed when the object dies.
class DirectoryListing {
  public:
    /// Opens `path` for listing. The search folders themselves may be links to
    /// folders (`followLink`); folders found below them never are.
    DirectoryListing(const std::string& path, bool followLink);
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    bool IsOpen() const { return dir_ != nullptr; }
    /// errno of a failed open or of the failed fetch that ended the listing, else 0.
    int Error() const { return error_; }

    /// The next entry's name (valid until the next call) and the type the listing
    /// reports (Unknown when it reports none). False at the end or on a failure.
    bool Next(std::string_view& name, EntryType& type);
    /// Whether the entry Next gave last is hidden: its name begins with "." here, the
    /// system's hidden attribute where the system has one.
    bool EntryHidden() const { return entry_hidden_; }
    /// Whether that entry belongs to the system (the system attribute, where there is
    /// one; pseudo file systems are asked of the folder instead).
    bool EntrySystem() const { return entry_system_; }

    /// Reads the status of the entry `name` of this folder; 0 or the errno.
    int Stat(const char* name, EntryStat& out) const;

    /// True when the folder lies on a pseudo file system (proc, sysfs, devtmpfs,
    /// cgroup, debugfs, ...), whose entries are not files anyone keeps.
    bool OnPseudoFileSystem() const;

    /// True when the folder is the root of a mounted file system.
    bool IsMountRoot() const;

  private:
    void* dir_ = nullptr;  // DIR*
    int error_ = 0;
    bool entry_hidden_ = false;
    bool entry_system_ = false;
};

/// Reads the status of `path` without following a final link; 0 or the errno.
int StatPath(const std::string& path, EntryStat& out);

/// The user's freedesktop trash folder: $XDG_DATA_HOME/Trash, else ~/.local/share/Trash;
/// empty when neither variable is set.
std::string UserTrashFolder();

}  // namespace merravine::platform

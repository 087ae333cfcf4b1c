// Listing folders for the duplicate search: folders opened relative to their parent,
// entries examined without following symbolic links, and the questions the filters
// ask of a folder (is it on a pseudo file system, is it the root of a mount).
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

/// An open folder, read and examined through its descriptor: its subfolders are
/// opened relative to it and its entries examined relative to it, so no path length
/// limits how deep a walk goes. Closed when the object dies.
class WalkFolder {
  public:
    WalkFolder() = default;
    ~WalkFolder() { Close(); }
    WalkFolder(WalkFolder&& other) noexcept : fd_(other.fd_), read_(other.read_) { other.fd_ = -1; }
    WalkFolder& operator=(WalkFolder&& other) noexcept;
    WalkFolder(const WalkFolder&) = delete;
    WalkFolder& operator=(const WalkFolder&) = delete;

    /// Opens the folder at `path` (any length). A search folder itself may be a link to
    /// a folder (`followLink`); folders below it are opened with OpenChild, never through
    /// a link. 0 or the errno.
    int Open(const std::string& path, bool followLink);
    /// Opens the subfolder `name` of this folder without following a link; 0 or the errno.
    int OpenChild(const char* name, WalkFolder& child) const;
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    /// Reads the status of the entry `name` of this folder (the folder itself for
    /// ""); 0 or the errno. Asks only for what the search uses.
    int Stat(const char* name, EntryStat& out) const;

    /// True when the folder lies on a pseudo file system (proc, sysfs, devtmpfs,
    /// cgroup, debugfs, ...), whose entries are not files anyone keeps.
    bool OnPseudoFileSystem() const;

    /// True when the folder is the root of a mounted file system.
    bool IsMountRoot() const;

  private:
    friend class FolderEntries;
    int fd_ = -1;
    mutable bool read_ = false;  ///< entries were read: a new listing goes back first
};

/// Reads the entries of one open folder at a time into a buffer of its own (one per
/// walking thread, reused from folder to folder).
class FolderEntries {
  public:
    FolderEntries();
    ~FolderEntries();
    FolderEntries(const FolderEntries&) = delete;
    FolderEntries& operator=(const FolderEntries&) = delete;

    /// Starts reading `folder` from its first entry (a folder just opened is there).
    void Start(const WalkFolder& folder);
    /// The next entry's name (zero-terminated, valid until the next call) and the type
    /// the listing reports (Unknown when it reports none). False at the end or on a
    /// failure (then Error() tells which).
    bool Next(std::string_view& name, EntryType& type);
    /// Whether the entry Next gave last is hidden: its name begins with "." here, the
    /// system's hidden attribute where the system has one.
    bool EntryHidden() const { return entry_hidden_; }
    /// Whether that entry belongs to the system (the system attribute, where there is
    /// one; pseudo file systems are asked of the folder instead).
    bool EntrySystem() const { return entry_system_; }
    /// errno of the failed read that ended the listing, else 0.
    int Error() const { return error_; }

  private:
    int fd_ = -1;
    char* buffer_;
    long filled_ = 0;
    long at_ = 0;
    int error_ = 0;
    bool entry_hidden_ = false;
    bool entry_system_ = false;
};

/// Reads the status of `path` (any length) without following a final link; 0 or the errno.
int StatPath(const std::string& path, EntryStat& out);

/// The user's freedesktop trash folder: $XDG_DATA_HOME/Trash, else ~/.local/share/Trash;
/// empty when neither variable is set.
std::string UserTrashFolder();

}  // namespace merravine::platform

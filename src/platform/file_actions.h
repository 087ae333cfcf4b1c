// The file operations of the action path (delete, trash, hard link, reflink, move),
// each working on a folder that was opened without following a symbolic link on any
// part of its path, and on a plain name inside it. A folder swapped for a link after
// a scan is therefore never walked into, and every operation acts on the entry it
// checked, relative to the open folder, never on a path text resolved again.
//
// Failures are errno values (0 is success); nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merravine::platform {

/// An open folder; closes itself. Reached from "/" one component at a time with
/// O_NOFOLLOW, so no component of its path was a symbolic link when it was opened.
class Folder {
public:
    Folder() = default;
    explicit Folder(int fd) : fd_(fd) {}
    ~Folder();
    Folder(Folder&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    int Fd() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// What a name inside a folder stands for right now (never following a link).
struct FileStamp {
    bool plain = false;  ///< a regular file (not a link, folder, device, FIFO, socket)
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint32_t links = 0;
    int64_t modifyNs = 0;
    int64_t changeNs = 0;
    int64_t accessNs = 0;
};

/// Whether `folder` is absolute, ends in "/", and holds no empty, "." or ".." part.
bool IsCanonicalFolder(std::string_view folder);
/// Whether `name` can be one entry of a folder: not empty, no "/", not "." or "..".
bool IsPlainName(std::string_view name);

/// Opens the canonical `folder` without following a link anywhere; 0 or errno
/// (ELOOP or ENOTDIR when a part is a link or not a folder).
int OpenFolder(const std::string& folder, Folder& out);

/// Like OpenFolder, making the missing folders of `relative` (below the open `base`)
/// with mode 0700 on the way.
int OpenOrMakeFolders(const Folder& base, std::string_view relative, Folder& out);

/// The stamp of `name` in `folder` (lstat semantics); 0 or errno.
int StampOf(const Folder& folder, const std::string& name, FileStamp& out);

/// Compares the content of two files byte for byte. Each is opened without following a
/// link and must still be the plain file of `expectA`/`expectB` (device and inode when
/// they are not 0, and size); 0 with `equal` set, or errno (ESTALE: not that file).
int CompareFiles(const Folder& folderA, const std::string& nameA, const FileStamp& expectA,
                 const Folder& folderB, const std::string& nameB, const FileStamp& expectB,
                 bool& equal);

/// Unlinks `name` in `folder`; 0 or errno.
int RemoveEntry(const Folder& folder, const std::string& name);

/// Makes `name` in `folder` a hard link of the kept file: links the kept file to a
/// temporary name beside `name`, checks that the link is the kept inode, then renames
/// it over `name` (which must still be `target`), so every moment leaves either the old
/// file or the link there.
int LinkOver(const Folder& keptFolder, const std::string& keptName, const FileStamp& kept,
             const Folder& folder, const std::string& name, const FileStamp& target);

/// Makes `name` share the kept file's extents (FICLONE). The file keeps its inode,
/// owner and times; `target` is what it must still be. EOPNOTSUPP, EXDEV or EINVAL
/// when the file system cannot.
int CloneOver(const Folder& keptFolder, const std::string& keptName, const FileStamp& kept,
              const Folder& folder, const std::string& name, const FileStamp& target);

/// Whether files in `folder` can share extents: tries a clone of two unnamed files.
bool CanCloneIn(const std::string& folder);

/// Moves `name` (which must still be `expect`) to `targetName` in `targetFolder`, never
/// replacing an existing entry (EEXIST). Across file systems: copies, flushes, compares,
/// and only then removes the original; a failed copy leaves nothing behind.
int MoveEntry(const Folder& folder, const std::string& name, const FileStamp& expect,
              const Folder& targetFolder, const std::string& targetName);

/// Where a file went in the trash: enough to put it back.
struct TrashPlace {
    std::string originalPath;  ///< the full path it had
    std::string filePath;      ///< the file inside the trash
    std::string infoPath;      ///< its .trashinfo file
};

/// Moves `name` of the canonical `folder` (open as `open`) to the trash of its file
/// system (see trash_move.h), when it is still `expect`; 0 or errno.
int TrashEntry(const Folder& open, const std::string& folder, const std::string& name,
               const FileStamp& expect, TrashPlace& place);

/// Puts a trashed file back where its .trashinfo says it was, never over an entry that
/// stands there now (EEXIST); removes the info file after. 0 or errno.
int RestoreFromTrash(const TrashPlace& place);

/// A short stable name of an errno value for reports ("ENOSPC", "EXDEV", ...).
std::string ErrorName(int error);

}  // namespace merravine::platform

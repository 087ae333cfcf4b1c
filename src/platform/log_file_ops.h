// The file operations the log writer needs, behind a small interface so that tests
// can make one of them fail (a move that cannot happen, a full disk) without
// needing a file system that refuses root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace merravine::platform {

class LogFileOps {
  public:
    virtual ~LogFileOps() = default;
    /// Opens `path` for appending, creating it when missing; -1 on failure.
    virtual int OpenForAppend(const std::string& path);
    /// Writes all bytes; false when any could not be written.
    virtual bool Write(int fd, const char* data, size_t length);
    /// Pushes written data to the disk.
    virtual void Flush(int fd);
    /// The file's size in bytes, -1 when it cannot be read.
    virtual int64_t Size(int fd);
    virtual void Close(int fd);
    /// Whether `path` can be opened for reading.
    virtual bool Exists(const std::string& path);
    /// Removes the file; false when it could not.
    virtual bool Remove(const std::string& path);
    /// Renames `from` to `to`; false when it could not.
    virtual bool Move(const std::string& from, const std::string& to);
};

/// Creates `path` as a folder (one level); true when it exists afterwards.
bool MakeFolder(const std::string& path);
/// Creates `path` and any missing parents; true when it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace merravine::platform

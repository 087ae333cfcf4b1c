// Reading a file's content for the duplicate search: only plain files are ever
// opened (a FIFO or a device swapped in after the listing is refused before any
// read), links are not followed, and whole-file reads are announced as sequential.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace merravine::platform {

class ContentFile {
  public:
    ContentFile() = default;
    ~ContentFile();
    ContentFile(const ContentFile&) = delete;
    ContentFile& operator=(const ContentFile&) = delete;

    /// Opens `path` (of any length) for reading; 0, or the errno (EINVAL when it is
    /// not a plain file).
    int Open(const std::string& path);
    /// The size the open file has now.
    uint64_t Size() const { return size_; }
    /// Tells the kernel the file will be read from start to end.
    void AdviseSequential() const;
    /// Reads up to `length` bytes at the current position; the count, 0 at the end,
    /// or minus the errno.
    long Read(void* buffer, size_t length) const;
    /// Reads up to `length` bytes at `offset`, same results as Read.
    long ReadAt(void* buffer, size_t length, uint64_t offset) const;

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

/// True when `error` says the process (EMFILE) or the system (ENFILE) has no file
/// descriptor left: the open is worth trying again once one is released.
bool OutOfDescriptors(int error);

/// The process's soft limit of open file descriptors.
uint64_t OpenFileLimit();

/// Waits a short while, or until another opener here releases a descriptor.
void WaitForDescriptor();

/// True when the standard error stream is a terminal.
bool StderrIsTerminal();

}  // namespace merravine::platform

// A small file system mounted for one test: a tmpfs of a given size, or an XFS image
// with shared extents on a loop device. Mounting needs root and a kernel that lets
// this process mount; where it cannot, `Why()` says why and the test is skipped.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace merravine::testing {

class ScratchMount {
public:
    /// A tmpfs of `size_text` ("64k") at `where`.
    static ScratchMount Tmpfs(const std::filesystem::path& where, const std::string& size_text) {
        ScratchMount mount(where);
        const std::string options = "size=" + size_text + ",mode=0755";
        if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            mount.why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        } else {
            mount.mounted_ = true;
        }
        return mount;
    }

    /// An XFS image made with reflink=1, loop-mounted at `where`.
    static ScratchMount XfsWithReflink(const std::filesystem::path& where) {
        ScratchMount mount(where);
        const std::filesystem::path image = where.parent_path() / (where.filename().string() + ".img");
        const std::string make = "truncate -s 320M '" + image.string() + "' && mkfs.xfs -q -f -m reflink=1 '" +
                                 image.string() + "' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            mount.why_ = "mkfs.xfs with reflink=1 is not available (package xfsprogs)";
            return mount;
        }
        const std::string attach = "mount -o loop '" + image.string() + "' '" + where.string() + "' 2>/dev/null";
        if (std::system(attach.c_str()) != 0) {
            mount.why_ = "cannot loop-mount an XFS image here (needs root and a loop device)";
            return mount;
        }
        mount.mounted_ = true;
        mount.image_ = image;
        return mount;
    }

    ScratchMount(ScratchMount&& other) noexcept
        : where_(std::move(other.where_)), image_(std::move(other.image_)), why_(std::move(other.why_)),
          mounted_(other.mounted_) {
        other.mounted_ = false;
    }
    ScratchMount& operator=(ScratchMount&&) = delete;
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    ~ScratchMount() {
        if (mounted_) umount2(where_.c_str(), MNT_DETACH);
        if (!image_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(image_, ignored);
        }
    }

    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    const std::filesystem::path& Where() const { return where_; }

    /// Makes the mount read-only; false when the kernel refuses.
    bool MakeReadOnly() {
        return ::mount(nullptr, where_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    explicit ScratchMount(std::filesystem::path where) : where_(std::move(where)) {
        std::filesystem::create_directories(where_);
    }

    std::filesystem::path where_;
    std::filesystem::path image_;
    std::string why_;
    bool mounted_ = false;
};

}  // namespace merravine::testing

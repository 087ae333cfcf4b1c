// The entry filters applied to one folder's listing.
#include "search/folder_listing.h"

#include <algorithm>

#include "search/file_record.h"
#include "util/text.h"

namespace merravine {
namespace {

using platform::EntryType;

bool IsTrashName(std::string_view name) {
    if (name == ".Trash") return true;
    constexpr std::string_view kPrefix = ".Trash-";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
    return std::all_of(name.begin() + kPrefix.size(), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// `mount_root` caches whether the folder is the root of a mount: looked up once, when
// a trash name turns up.
bool IsTrash(const WalkFilters& filters, const platform::WalkFolder& folder, const std::string& dir,
             std::string_view name, int& mount_root) {
    if (EqualsIgnoringAsciiCase(name, "$RECYCLE.BIN")) return true;
    if (!filters.userTrash.empty() && name == "Trash" &&
        dir.size() + 5 == filters.userTrash.size() &&
        filters.userTrash.compare(0, dir.size(), dir) == 0) {
        return true;
    }
    if (!IsTrashName(name)) return false;
    if (mount_root < 0) mount_root = folder.IsMountRoot() ? 1 : 0;
    return mount_root == 1;
}

// Adds the file to `out` unless the program, kind or size filters leave it out.
void AcceptFile(const WalkFilters& filters, const std::string& dir, std::string_view name,
                const platform::EntryStat& info, ListedFolder& out) {
    const NameParts parts = SplitName(name);
    const std::string lower = LowerSuffix(parts.suffix);
    if ((filters.skipflag & FILE_SKIP_PRGRAM) != 0 && filters.programSuffixes.count(lower) != 0)
        return;
    const int32_t kind = ClassifySuffix(filters, lower);
    if ((filters.filetypes & kind) == 0) return;
    if (filters.usemin && info.size < filters.minsize) return;
    if (filters.usemax && info.size > filters.maxsize) return;

    ListedFile file;
    file.size = info.size;
    file.device = info.device;
    file.inode = info.inode;
    file.modifyNs = info.modifyNs;
    file.changeNs = info.changeNs;
    file.links = info.links;
    file.nameOffset = static_cast<uint32_t>(out.names.size());
    file.nameLength = static_cast<uint16_t>(name.size());
    file.suffixStart = static_cast<uint16_t>(parts.namenosuffix.size());
    file.kind = static_cast<uint8_t>(kind);
    if (!filters.protectDirs.empty()) {
        std::string full = dir;
        full.append(name);
        if (IsProtected(filters.protectDirs, full)) file.flags = FILE_FLAG_PROTECTED;
    }
    out.names.append(name);
    out.files.push_back(file);
}

}  // namespace

bool LeftOutByName(const WalkFilters& filters, const platform::FolderEntries& entries,
                   const platform::WalkFolder& folder, const std::string& dir,
                   std::string_view name, platform::EntryType type, int& mountRoot) {
    if (name == "." || name == "..") return true;
    if ((filters.skipflag & FILE_SKIP_HIDE) != 0 && entries.EntryHidden()) return true;
    if ((filters.skipflag & FILE_SKIP_SYSTEM) != 0 && entries.EntrySystem()) return true;
    return (filters.skipflag & FILE_SKIP_RECYCLE) != 0 && type != EntryType::File &&
           IsTrash(filters, folder, dir, name, mountRoot);
}

void ListedFolder::Clear() {
    openError = 0;
    hasId = false;
    device = 0;
    inode = 0;
    pseudo = false;
    aborted = false;
    listError = 0;
    vanished = 0;
    examined = 0;
    names.clear();
    files.clear();
    subfolders.clear();
}

void ListFolder(SearchEngine& engine, const WalkFilters& filters,
                const platform::WalkFolder& folder, const std::string& dir, uint64_t parentDevice,
                platform::FolderEntries& entries, ListedFolder& out) {
    platform::EntryStat self;
    if (folder.Stat("", self) == 0) {
        out.hasId = true;
        out.device = self.device;
        out.inode = self.inode;
    }
    const bool own_device =
        !out.hasId || parentDevice == kUnknownDevice || out.device != parentDevice;
    if ((filters.skipflag & FILE_SKIP_SYSTEM) != 0 && own_device && folder.OnPseudoFileSystem()) {
        out.pseudo = true;
        return;
    }
    int mount_root = -1;
    std::string_view name;
    EntryType type = EntryType::Unknown;
    entries.Start(folder);
    while (entries.Next(name, type)) {
        if (!HoldWhilePaused(engine)) {
            out.aborted = true;
            return;
        }
        if (LeftOutByName(filters, entries, folder, dir, name, type, mount_root)) continue;
        ++out.examined;
        platform::EntryStat info;
        if (type == EntryType::Unknown || type == EntryType::File) {
            // A name handed to Stat must end in a zero: the listing's names do.
            if (folder.Stat(name.data(), info) != 0) {
                ++out.vanished;
                continue;
            }
            type = info.type;
        }
        if (type == EntryType::Directory) {
            if (!filters.excluded.empty()) {
                std::string full = dir;
                full.append(name);
                if (filters.excluded.count(full) != 0) continue;
            }
            out.subfolders.emplace_back(name);
            continue;
        }
        if (type != EntryType::File) continue;  // links, FIFOs, sockets, devices
        AcceptFile(filters, dir, name, info, out);
    }
    out.listError = entries.Error();
}

}  // namespace merravine

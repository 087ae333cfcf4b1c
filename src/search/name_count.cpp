#include "search/name_count.h"

#include <string_view>

#include "platform/file_walk.h"
#include "search/folder_listing.h"

namespace merravine {
namespace {

using platform::EntryType;

// Folders kept open on the way down; deeper ones are opened again by their text.
constexpr size_t kOpenLevels = 32;

struct Level {
    platform::WalkFolder folder;  // closed from kOpenLevels down
    std::string dir;              // its text, ending in "/"
    uint64_t device = kUnknownDevice;
    std::vector<std::string> subfolders;
    size_t next = 0;
};

// Counts the entries of `level`'s open folder the walk would examine and keeps the
// names of the subfolders it would enter. 0 for a folder the walk leaves out.
uint64_t ListNames(const WalkFilters& filters, uint64_t parentDevice,
                   platform::FolderEntries& entries, VisitedFolders& visited, Level& level) {
    platform::EntryStat self;
    if (level.folder.Stat("", self) == 0) {
        level.device = self.device;
        if (!visited.seen.insert({self.device, self.inode}).second) return 0;
    }
    const bool own_device = level.device == kUnknownDevice || parentDevice == kUnknownDevice ||
                            level.device != parentDevice;
    if ((filters.skipflag & FILE_SKIP_SYSTEM) != 0 && own_device &&
        level.folder.OnPseudoFileSystem()) {
        return 0;
    }
    uint64_t count = 0;
    int mount_root = -1;
    std::string_view name;
    EntryType type = EntryType::Unknown;
    entries.Start(level.folder);
    while (entries.Next(name, type)) {
        if (LeftOutByName(filters, entries, level.folder, level.dir, name, type, mount_root))
            continue;
        ++count;
        if (type != EntryType::Directory) continue;
        if (!filters.excluded.empty() &&
            filters.excluded.count(level.dir + std::string(name)) != 0) {
            continue;
        }
        level.subfolders.emplace_back(name);
    }
    return count;
}

}  // namespace

uint64_t CountNamesAhead(const WalkFilters& filters, const std::vector<std::string>& folders,
                         const std::stop_token& stop) {
    platform::FolderEntries entries;
    VisitedFolders visited;
    std::vector<Level> stack;
    uint64_t count = 0;
    for (const std::string& root : folders) {
        if (root.empty()) continue;
        stack.clear();
        Level& first = stack.emplace_back();
        if (first.folder.Open(root, true) != 0) continue;
        first.dir = root.back() == '/' ? root : root + '/';
        count += ListNames(filters, kUnknownDevice, entries, visited, first);
        while (!stack.empty()) {
            if (stop.stop_requested()) return 0;
            Level& top = stack.back();
            if (top.next == top.subfolders.size()) {
                stack.pop_back();
                continue;
            }
            const std::string& name = top.subfolders[top.next++];
            Level child;
            child.dir = top.dir + name + '/';
            const int error = top.folder.IsOpen() ? top.folder.OpenChild(name.c_str(), child.folder)
                                                  : child.folder.Open(child.dir, false);
            if (error != 0) continue;  // the walk counts it as not listed
            count += ListNames(filters, top.device, entries, visited, child);
            if (child.subfolders.empty()) continue;
            if (stack.size() >= kOpenLevels) child.folder.Close();
            stack.push_back(std::move(child));
        }
    }
    return stop.stop_requested() ? 0 : count;
}

}  // namespace merravine

// The iterative folder walk and the entry filters.
#include "search/walker.h"

#include <algorithm>
#include <cerrno>

#include "platform/file_read.h"
#include "platform/file_walk.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {
namespace {

using platform::EntryType;

// True when `inner` lies below `outer` (whole path components).
bool LiesBelow(std::string_view outer, std::string_view inner) {
    if (outer.empty() || outer.size() >= inner.size() || inner.substr(0, outer.size()) != outer)
        return false;
    return outer.back() == '/' || inner[outer.size()] == '/';
}

bool IsTrashName(std::string_view name) {
    if (name == ".Trash") return true;
    constexpr std::string_view kPrefix = ".Trash-";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
    return std::all_of(name.begin() + kPrefix.size(), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// One folder on the walk's stack: open while its subfolders are walked (unless the
// walk closed it to stay within its share of descriptors), with the names of the
// subfolders still to walk.
struct Frame {
    platform::WalkFolder folder;
    size_t dirLength = 0;  ///< its text, ending in "/", is the walk's path up to here
    VisitedFolders::Id id{};
    std::vector<std::string> subfolders;
    size_t next = 0;
    uint64_t filesBefore = 0;  ///< files the walk had found when this folder was listed
    uint64_t childFiles = 0;   ///< files in the subtrees of its subfolders walked so far
    uint32_t childrenDone = 0;
    uint32_t depth = 0;
};

// Folders listed between two estimates of the part of the walk behind it.
constexpr uint32_t kListedPerEstimate = 8;

// Folders of the stack kept open at once; deeper trees reopen an ancestor by its path
// (of any length) when the walk comes back to it.
constexpr size_t kOpenFrames = 32;

// What an open that ran out of descriptors turns into when the search is aborted
// while it waits.
constexpr int kOpenAborted = -1;

class Walker {
  public:
    Walker(SearchEngine& engine, const WalkFilters& filters, Listing& listing,
           HashPipeline& pipeline, VisitedFolders& visited)
        : engine_(engine),
          filters_(filters),
          listing_(listing),
          pipeline_(pipeline),
          visited_(visited),
          walkedBefore_(engine.walkedShare.load(std::memory_order_relaxed)) {}

    WalkReport Run(const std::string& root, double share) {
        share_ = share;
        const WalkReport report = Walk(root);
        if (report != WalkReport::Aborted) PublishWalked(1.0);
        return report;
    }

  private:
    // The part of the walk behind it: the files found against those found plus the
    // files expected in the subfolders still to walk, each expected to hold as many as
    // its walked siblings did on average (or the walked folders of its depth).
    void EstimateWalked(const std::vector<Frame>& stack) {
        if (++listedSinceEstimate_ < kListedPerEstimate) return;
        listedSinceEstimate_ = 0;
        double expected = 0;
        for (const Frame& frame : stack) {
            const size_t pending = frame.subfolders.size() - frame.next;
            if (pending > 0) expected += static_cast<double>(pending) * ExpectedFiles(frame);
        }
        const auto found = static_cast<double>(found_);
        PublishWalked(found + expected > 0 ? found / (found + expected) : 0.0);
    }

    double ExpectedFiles(const Frame& frame) const {
        if (frame.childrenDone > 0)
            return static_cast<double>(frame.childFiles) / frame.childrenDone;
        if (frame.depth + 1 < depthFiles_.size() && depthFiles_[frame.depth + 1].second > 0) {
            const auto& [files, folders] = depthFiles_[frame.depth + 1];
            return static_cast<double>(files) / folders;
        }
        return static_cast<double>(found_) / static_cast<double>(std::max<uint64_t>(listed_, 1));
    }

    void PublishWalked(double part) {
        const double total = walkedBefore_ + share_ * std::clamp(part, 0.0, 1.0) * 1e6;
        engine_.walkedShare.store(static_cast<uint32_t>(std::min(total, 1e6)),
                                  std::memory_order_relaxed);
    }

    // A subfolder's subtree is walked: its files count for its siblings' estimate.
    void SubtreeDone(Frame* parent, uint32_t depth, uint64_t files) {
        if (depthFiles_.size() <= depth) depthFiles_.resize(depth + 1);
        depthFiles_[depth].first += files;
        ++depthFiles_[depth].second;
        if (parent != nullptr) {
            parent->childFiles += files;
            ++parent->childrenDone;
        }
    }

    WalkReport Walk(const std::string& root) {
        std::vector<Frame> stack;
        {
            Frame frame;
            path_ = FolderWithSlash(root);
            frame.dirLength = path_.size();
            const int error = Retrying([&] { return frame.folder.Open(root, true); });
            if (error == kOpenAborted) return WalkReport::Aborted;
            if (error != 0) return Unlistable(root, error);
            const WalkReport report = ListFolder(frame, root);
            if (report != WalkReport::Done) return report;
            if (!frame.subfolders.empty()) stack.push_back(std::move(frame));
        }
        while (!stack.empty()) {
            if (!HoldWhilePaused(engine_)) return WalkReport::Aborted;
            Frame& top = stack.back();
            if (top.next == top.subfolders.size()) {
                const uint64_t files = found_ - top.filesBefore;
                const uint32_t depth = top.depth;
                stack.pop_back();
                SubtreeDone(stack.empty() ? nullptr : &stack.back(), depth, files);
                continue;
            }
            path_.resize(top.dirLength);
            if (!top.folder.IsOpen() && !Reopen(top, stack.size() == 1)) continue;
            const std::string& name = top.subfolders[top.next++];
            path_.append(name);
            Frame child;
            child.depth = top.depth + 1;
            const int error =
                Retrying([&] { return top.folder.OpenChild(name.c_str(), child.folder); });
            if (error == kOpenAborted) return WalkReport::Aborted;
            if (error != 0) {
                Unlistable(path_, error);
                continue;
            }
            const std::string text = path_;
            path_.push_back('/');
            child.dirLength = path_.size();
            if (ListFolder(child, text) == WalkReport::Aborted) return WalkReport::Aborted;
            if (child.subfolders.empty()) {
                SubtreeDone(&top, child.depth, found_ - child.filesBefore);
                EstimateWalked(stack);
                continue;
            }
            stack.push_back(std::move(child));
            EstimateWalked(stack);
            if (stack.size() > kOpenFrames) stack[stack.size() - 1 - kOpenFrames].folder.Close();
        }
        return WalkReport::Done;
    }

    // Runs an open until it succeeds or fails for another reason than a lack of
    // descriptors, which a worker closing its files soon ends. kOpenAborted on abort.
    template <typename Open>
    int Retrying(Open open) {
        for (;;) {
            const int error = open();
            if (!platform::OutOfDescriptors(error)) return error;
            if (!HoldWhilePaused(engine_)) return kOpenAborted;
            platform::WaitForDescriptor();
        }
    }

    WalkReport Unlistable(const std::string& folder, int error) {
        engine_.unlistableNumber.fetch_add(1, std::memory_order_relaxed);
        engine_.problems.Add(folder);
        LogDebug("cannot list %s (%d)", folder.c_str(), error);
        return WalkReport::ListFailed;
    }

    // Opens a folder of the stack again by its path (the walk's path is at it); it
    // must still be the folder listed.
    bool Reopen(Frame& frame, bool isRoot) {
        const int error = Retrying([&] { return frame.folder.Open(path_, isRoot); });
        platform::EntryStat self;
        if (error == 0 && frame.folder.Stat("", self) == 0 && self.device == frame.id.device &&
            self.inode == frame.id.inode) {
            return true;
        }
        // Its remaining subfolders cannot be reached: each counts as a folder not listed.
        for (; frame.next < frame.subfolders.size(); ++frame.next) {
            Unlistable(path_ + frame.subfolders[frame.next], error != 0 ? error : ENOENT);
        }
        frame.folder.Close();
        return false;
    }

    // Lists the folder whose text is `text`; the walk's path holds it with a "/".
    WalkReport ListFolder(Frame& frame, const std::string& text) {
        engine_.SetScanningPath(text);
        frame.filesBefore = found_;
        ++listed_;
        platform::EntryStat self;
        if (frame.folder.Stat("", self) == 0) {
            frame.id = {self.device, self.inode};
            if (!visited_.seen.insert(frame.id).second) return WalkReport::Done;
        }
        if ((filters_.skipflag & FILE_SKIP_SYSTEM) != 0 && frame.folder.OnPseudoFileSystem()) {
            return WalkReport::Done;
        }

        const std::string& dir = path_;
        uint32_t folder_index = UINT32_MAX;
        int mount_root = -1;  // looked up once, when a trash name turns up
        std::string_view name;
        EntryType type = EntryType::Unknown;
        entries_.Start(frame.folder);
        while (entries_.Next(name, type)) {
            if (!HoldWhilePaused(engine_)) return WalkReport::Aborted;
            if (name == "." || name == "..") continue;
            if ((filters_.skipflag & FILE_SKIP_HIDE) != 0 && entries_.EntryHidden()) continue;
            if ((filters_.skipflag & FILE_SKIP_SYSTEM) != 0 && entries_.EntrySystem()) continue;
            if ((filters_.skipflag & FILE_SKIP_RECYCLE) != 0 && type != EntryType::File &&
                IsTrash(frame.folder, dir, name, mount_root)) {
                continue;
            }
            platform::EntryStat info;
            if (type == EntryType::Unknown || type == EntryType::File) {
                // The name is zero-terminated in the listing's buffer.
                if (const int error = frame.folder.Stat(name.data(), info); error != 0) {
                    engine_.vanishedNumber.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                type = info.type;
            }
            if (type == EntryType::Directory) {
                if (!filters_.excluded.empty()) {
                    std::string full = dir;
                    full.append(name);
                    if (filters_.excluded.count(full) != 0) continue;
                }
                frame.subfolders.emplace_back(name);
                continue;
            }
            if (type != EntryType::File) continue;  // links, FIFOs, sockets, devices
            AcceptFile(dir, name, info, folder_index);
        }
        if (entries_.Error() != 0) {
            LogDebug("listing of %s ended early (%d)", text.c_str(), entries_.Error());
        }
        return WalkReport::Done;
    }

    bool IsTrash(const platform::WalkFolder& listing, const std::string& dir, std::string_view name,
                 int& mount_root) {
        if (EqualsIgnoringAsciiCase(name, "$RECYCLE.BIN")) return true;
        if (!filters_.userTrash.empty() && name == "Trash" &&
            dir.size() + 5 == filters_.userTrash.size() &&
            filters_.userTrash.compare(0, dir.size(), dir) == 0) {
            return true;
        }
        if (!IsTrashName(name)) return false;
        if (mount_root < 0) mount_root = listing.IsMountRoot() ? 1 : 0;
        return mount_root == 1;
    }

    void AcceptFile(const std::string& dir, std::string_view name, const platform::EntryStat& info,
                    uint32_t& folder_index) {
        const NameParts parts = SplitName(name);
        const std::string lower = LowerSuffix(parts.suffix);
        if ((filters_.skipflag & FILE_SKIP_PRGRAM) != 0 &&
            filters_.programSuffixes.count(lower) != 0)
            return;
        const int32_t kind = ClassifySuffix(filters_, lower);
        if ((filters_.filetypes & kind) == 0) return;
        if (filters_.usemin && info.size < filters_.minsize) return;
        if (filters_.usemax && info.size > filters_.maxsize) return;

        if (folder_index == UINT32_MAX) {
            folder_index = static_cast<uint32_t>(listing_.folders.size());
            listing_.folders.push_back(dir);
        }
        FileEntry entry;
        entry.size = info.size;
        entry.folder = folder_index;
        const size_t offset = listing_.names.AppendContiguous(name.data(), name.size());
        entry.nameOffset = static_cast<uint32_t>(offset);
        entry.nameLength = static_cast<uint16_t>(name.size());
        entry.suffixStart = static_cast<uint16_t>(parts.namenosuffix.size());
        entry.kind = static_cast<uint8_t>(kind);
        if (!filters_.protectDirs.empty()) {
            std::string full = dir;
            full.append(name);
            if (IsProtected(filters_.protectDirs, full)) entry.flags = FILE_FLAG_PROTECTED;
        }
        const auto index = static_cast<uint32_t>(listing_.files.size());
        if (offset == SIZE_MAX || listing_.files.size() >= HashPipeline::kNone - 1 ||
            !listing_.files.push_back(entry)) {
            // Four thousand million files or bytes of names: the rest cannot be kept.
            // They are counted with the files whose content could not be examined.
            if (engine_.unreadableNumber.fetch_add(1, std::memory_order_relaxed) == 0) {
                LogLess("the listing is full; files from %s on are left out", dir.c_str());
            }
            return;
        }
        engine_.totalNumber.fetch_add(1, std::memory_order_relaxed);
        ++found_;
        pipeline_.AddFile(index, info.device, info.inode, info.links, info.modifyNs, info.changeNs);
    }

    SearchEngine& engine_;
    const WalkFilters& filters_;
    Listing& listing_;
    HashPipeline& pipeline_;
    VisitedFolders& visited_;
    const double walkedBefore_;  // millionths walked by the earlier search folders
    double share_ = 1;           // this search folder's part of the whole walk
    uint64_t found_ = 0;         // files accepted below this search folder
    uint64_t listed_ = 0;        // folders listed
    uint32_t listedSinceEstimate_ = 0;
    std::vector<std::pair<uint64_t, uint32_t>> depthFiles_;  // walked subtrees: files, folders
    platform::FolderEntries entries_;
    std::string path_;  // the text of the folder being listed or opened, ending in "/"
};

}  // namespace

std::vector<std::string> BuildNestedExcludeList(const std::vector<std::string>& excludeDirs,
                                                const std::vector<std::string>& searchDirs) {
    std::vector<std::string> nested;
    for (std::string exclude : excludeDirs) {
        while (exclude.size() > 1 && exclude.back() == '/') exclude.pop_back();
        const bool inside =
            std::any_of(searchDirs.begin(), searchDirs.end(),
                        [&](const std::string& search) { return LiesBelow(search, exclude); });
        if (inside && std::find(nested.begin(), nested.end(), exclude) == nested.end())
            nested.push_back(exclude);
    }
    return nested;
}

int32_t ClassifySuffix(const WalkFilters& filters, const std::string& lowerSuffix) {
    const auto it = filters.kindOfSuffix.find(lowerSuffix);
    return it == filters.kindOfSuffix.end() ? KIND_OTHER : it->second;
}

bool IsProtected(const std::vector<std::string>& protectDirs, std::string_view full) {
    return std::any_of(protectDirs.begin(), protectDirs.end(),
                       [&](const std::string& protect) { return LiesBelow(protect, full); });
}

WalkFilters BuildWalkFilters(const SearchSettings& settings) {
    WalkFilters filters;
    filters.skipflag = settings.skipflag;
    filters.filetypes = settings.filetypes;
    filters.usemin = settings.usemin != 0;
    filters.usemax = settings.usemax != 0;
    filters.minsize = static_cast<uint64_t>(settings.minsize);
    filters.maxsize = static_cast<uint64_t>(settings.maxsize);
    const std::pair<size_t, int32_t> order[] = {{LIST_ARCHIVE, KIND_ARCHIVE},
                                                {LIST_DOCUMENT, KIND_DOCUMENT},
                                                {LIST_AUDIO, KIND_AUDIO},
                                                {LIST_PICTURE, KIND_PICTURE},
                                                {LIST_VIDEO, KIND_VIDEO}};
    for (const auto& [list, kind] : order) {
        for (const std::string& suffix : settings.extensionLists[list])
            filters.kindOfSuffix.try_emplace(suffix, kind);
    }
    for (const std::string& suffix : settings.extensionLists[LIST_PROGRAM])
        filters.programSuffixes.insert(suffix);
    for (const std::string& exclude :
         BuildNestedExcludeList(settings.excludeDirs, settings.searchDirs)) {
        filters.excluded.insert(exclude);
    }
    filters.protectDirs = settings.protectDirs;
    if ((settings.skipflag & FILE_SKIP_RECYCLE) != 0)
        filters.userTrash = platform::UserTrashFolder();
    return filters;
}

WalkReport CountPass(SearchEngine& engine, const WalkFilters& filters, const std::string& folder,
                     Listing& listing, HashPipeline& pipeline, VisitedFolders& visited,
                     double share) {
    if (folder.empty()) {
        engine.walkedShare.fetch_add(static_cast<uint32_t>(share * 1e6), std::memory_order_relaxed);
        return WalkReport::EmptyFolder;
    }
    if (engine.state.load(std::memory_order_relaxed) == W_ABORT) return WalkReport::Aborted;
    Walker walker(engine, filters, listing, pipeline, visited);
    return walker.Run(folder, share);
}

}  // namespace merravine

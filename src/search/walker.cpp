// The folder walk: listing spread over walk threads, results applied in walk order.
#include "search/walker.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/file_read.h"
#include "platform/file_walk.h"
#include "search/folder_listing.h"
#include "util/log.h"
#include "util/text.h"
#include "util/thread_body.h"

namespace merravine {
namespace {

// True when `inner` lies below `outer` (whole path components).
bool LiesBelow(std::string_view outer, std::string_view inner) {
    if (outer.empty() || outer.size() >= inner.size() || inner.substr(0, outer.size()) != outer)
        return false;
    return outer.back() == '/' || inner[outer.size()] == '/';
}

// One subfolder of a listed folder, listed by whichever walk thread takes it first.
struct Task {
    std::string name;
    bool taken = false;  // guarded by the walk's mutex
    bool done = false;   // guarded by the walk's mutex; set only for a helper's task
    ListedFolder listed;
    platform::WalkFolder folder;  // left open after listing when it has subfolders
};

// One folder on the walk's stack: open while its subfolders are walked (unless the
// walk closed it to stay within its share of descriptors), with the subfolders still
// to walk. Helpers take its tasks in order from `taken` on while it is open.
struct Frame {
    std::shared_ptr<platform::WalkFolder> folder;  // null while closed
    std::string dir;                               // its text, ending in "/"
    VisitedFolders::Id id{};
    std::vector<std::unique_ptr<Task>> tasks;
    size_t next = 0;           // the next task the walk applies
    size_t taken = 0;          // tasks before this one are taken
    uint64_t filesBefore = 0;  ///< files the walk had found when this folder was listed
    uint64_t childFiles = 0;   ///< files in the subtrees of its subfolders walked so far
    uint32_t childrenDone = 0;
    uint32_t depth = 0;
};

// Folders listed between two estimates of the part of the walk behind it.
constexpr uint32_t kListedPerEstimate = 8;

// Folders of the stack kept open at once; deeper trees reopen an ancestor by its path
// (of any length) when the walk comes back to it. Helpers look for work in these.
constexpr size_t kOpenFrames = 32;

// Folders the helpers may have listed ahead of the walk: what bounds the memory and
// descriptors their results hold (with the open frames, within the descriptors the
// hash workers leave to the rest of the process).
constexpr size_t kListedAhead = 64;

// Walk threads when the tuning leaves it to the machine: one per core up to this.
constexpr size_t kDefaultWalkThreads = 4;

// What an open that ran out of descriptors turns into when the search is aborted
// while it waits.
constexpr int kOpenAborted = -1;

// The walk of one search folder. The walking thread keeps the stack and applies each
// folder's listing in walk order: a folder's files in listing order before any of its
// subfolders, subfolders depth first in listing order. Helper threads list the
// subfolders of the folders on the stack ahead of it, deepest first; a subfolder no
// helper has taken yet the walking thread lists itself. So the listing, the counters
// and the folders found twice come out as from a walk by one thread.
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
    ~Walker() { StopHelpers(); }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    WalkReport Run(const std::string& root, double share, size_t threads) {
        share_ = share;
        for (size_t i = 1; i < threads; ++i) {
            helpers_.emplace_back([this] { (void)RunGuarded("walk helper", [this] { Help(); }); });
        }
        const WalkReport report = Walk(root);
        StopHelpers();
        if (report != WalkReport::Aborted) PublishWalked(1.0);
        return report;
    }

  private:
    void StopHelpers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        work_.notify_all();
        helpers_.clear();  // joins
    }

    // The part of the walk behind it: the files found against those found plus the
    // files expected in the subfolders still to walk, each expected to hold as many as
    // its walked siblings did on average (or the walked folders of its depth).
    void EstimateWalked() {
        if (++listedSinceEstimate_ < kListedPerEstimate) return;
        listedSinceEstimate_ = 0;
        double expected = 0;
        for (const Frame& frame : stack_) {
            const size_t pending = frame.tasks.size() - frame.next;
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
        {
            Frame frame;
            frame.dir = FolderWithSlash(root);
            Task task;
            const int error = Retrying([&] { return task.folder.Open(root, true); });
            if (error == kOpenAborted) return WalkReport::Aborted;
            if (error != 0) return Unlistable(root, error);
            ListFolder(engine_, filters_, task.folder, frame.dir, kUnknownDevice, entries_,
                       task.listed);
            if (task.listed.aborted) return WalkReport::Aborted;
            Apply(frame, task.listed, root);
            if (!frame.tasks.empty()) {
                frame.folder = std::make_shared<platform::WalkFolder>(std::move(task.folder));
                Push(std::move(frame));
            }
        }
        while (!stack_.empty()) {
            if (!HoldWhilePaused(engine_)) return WalkReport::Aborted;
            Frame& top = stack_.back();
            if (top.next == top.tasks.size()) {
                const uint64_t files = found_ - top.filesBefore;
                const uint32_t depth = top.depth;
                {
                    std::lock_guard lock(mutex_);
                    stack_.pop_back();
                }
                SubtreeDone(stack_.empty() ? nullptr : &stack_.back(), depth, files);
                continue;
            }
            const size_t at = top.next++;
            std::unique_ptr<Task> task = Obtain(top, at);
            if (task->listed.aborted) return WalkReport::Aborted;
            const std::string& text = path_;
            if (task->listed.openError != 0) {
                Unlistable(text, task->listed.openError);
                continue;
            }
            Frame child;
            child.depth = top.depth + 1;
            child.dir = text + '/';
            Apply(child, task->listed, text);
            if (child.tasks.empty()) {
                SubtreeDone(&top, child.depth, found_ - child.filesBefore);
                EstimateWalked();
                continue;
            }
            if (!task->folder.IsOpen()) {
                const int error = OpenAgain(stack_.back(), *task);
                if (error == kOpenAborted) return WalkReport::Aborted;
                if (error != 0) {
                    // Its subfolders cannot be reached: each counts as a folder not listed.
                    for (const auto& sub : child.tasks) Unlistable(child.dir + sub->name, error);
                    SubtreeDone(&top, child.depth, found_ - child.filesBefore);
                    continue;
                }
            }
            child.folder = std::make_shared<platform::WalkFolder>(std::move(task->folder));
            task.reset();
            Push(std::move(child));
            EstimateWalked();
        }
        return WalkReport::Done;
    }

    void Push(Frame frame) {
        {
            std::lock_guard lock(mutex_);
            stack_.push_back(std::move(frame));
            if (stack_.size() > kOpenFrames) stack_[stack_.size() - 1 - kOpenFrames].folder.reset();
        }
        if (!helpers_.empty()) work_.notify_all();
    }

    // The listing of the subfolder `at` of `top`, which sets the walk's path to its
    // text: taken from the helper that listed it, or listed here when none took it.
    std::unique_ptr<Task> Obtain(Frame& top, size_t at) {
        std::unique_ptr<Task> task;
        {
            std::unique_lock lock(mutex_);
            task = std::move(top.tasks[at]);
            path_ = top.dir;
            path_.append(task->name);
            if (task->taken) {
                done_.wait(lock, [&] { return task->done; });
                const bool was_full = ahead_-- == kListedAhead;
                lock.unlock();
                if (was_full) work_.notify_one();
                return task;
            }
            task->taken = true;
            top.taken = std::max(top.taken, at + 1);
        }
        if (!top.folder && !Reopen(top)) {
            task->listed.openError = ENOENT;
            return task;
        }
        ListTask(*task, *top.folder, DeviceOf(top), path_ + '/', entries_);
        if (task->listed.subfolders.empty()) task->folder.Close();
        return task;
    }

    // The device of a folder on the stack, kUnknownDevice when its identity is not known.
    static uint64_t DeviceOf(const Frame& frame) {
        return frame.id.device == 0 && frame.id.inode == 0 ? kUnknownDevice : frame.id.device;
    }

    // Opens the task's folder below `parent` (on `parentDevice`) and lists it.
    void ListTask(Task& task, const platform::WalkFolder& parent, uint64_t parentDevice,
                  const std::string& dir, platform::FolderEntries& entries) {
        const int error =
            Retrying([&] { return parent.OpenChild(task.name.c_str(), task.folder); });
        if (error == kOpenAborted) {
            task.listed.aborted = true;
            return;
        }
        if (error != 0) {
            task.listed.openError = error;
            return;
        }
        ListFolder(engine_, filters_, task.folder, dir, parentDevice, entries, task.listed);
    }

    // Opens the folder a helper listed (and closed) again below `parent`, the top of
    // the stack; it must still be the folder listed. 0, the errno, or kOpenAborted.
    int OpenAgain(Frame& parent, Task& task) {
        if (!parent.folder && !Reopen(parent)) return ENOENT;
        const int error =
            Retrying([&] { return parent.folder->OpenChild(task.name.c_str(), task.folder); });
        if (error != 0) return error;
        platform::EntryStat self;
        if (task.listed.hasId &&
            (task.folder.Stat("", self) != 0 || self.device != task.listed.device ||
             self.inode != task.listed.inode)) {
            task.folder.Close();
            return ENOENT;
        }
        return 0;
    }

    // A helper thread: lists subfolders of open folders on the stack, deepest first,
    // while the walk has fewer than kListedAhead of them waiting.
    void Help() {
        platform::FolderEntries entries;
        for (;;) {
            Task* task = nullptr;
            std::shared_ptr<platform::WalkFolder> parent;
            uint64_t device = kUnknownDevice;
            std::string dir;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock,
                           [&] { return stop_ || (task = Take(parent, device, dir)) != nullptr; });
                if (task == nullptr) return;
            }
            try {
                ListTask(*task, *parent, device, dir, entries);
                // Closed at once: a helper holds no descriptor while its result waits,
                // so descriptors never run out for the walk's own sake.
                task->folder.Close();
            } catch (...) {
                // Out of memory: the folder counts as not listed, and the walk that
                // waits for it goes on.
                task->listed.Clear();
                task->listed.openError = ENOMEM;
            }
            parent.reset();
            {
                std::lock_guard lock(mutex_);
                task->done = true;
            }
            done_.notify_all();
        }
    }

    // A task for a helper, or nullptr. Holds the walk's mutex.
    Task* Take(std::shared_ptr<platform::WalkFolder>& parent, uint64_t& device, std::string& dir) {
        if (ahead_ >= kListedAhead) return nullptr;
        const size_t lowest = stack_.size() > kOpenFrames ? stack_.size() - kOpenFrames : 0;
        for (size_t i = stack_.size(); i-- > lowest;) {
            Frame& frame = stack_[i];
            if (!frame.folder || frame.taken == frame.tasks.size()) continue;
            Task* task = frame.tasks[frame.taken++].get();
            task->taken = true;
            parent = frame.folder;
            device = DeviceOf(frame);
            dir = frame.dir;
            dir.append(task->name).push_back('/');
            ++ahead_;
            return task;
        }
        return nullptr;
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

    // Opens a folder of the stack again by its text; it must still be the folder
    // listed. False when it cannot be reached.
    bool Reopen(Frame& frame) {
        platform::WalkFolder folder;
        const int error =
            Retrying([&] { return folder.Open(frame.dir, &frame == &stack_.front()); });
        platform::EntryStat self;
        if (error != 0 || folder.Stat("", self) != 0 || self.device != frame.id.device ||
            self.inode != frame.id.inode) {
            return false;
        }
        std::lock_guard lock(mutex_);
        frame.folder = std::make_shared<platform::WalkFolder>(std::move(folder));
        return true;
    }

    // Applies a listing to the walk: the folder counts as listed unless it was listed
    // before in this search, and its files join the listing.
    void Apply(Frame& frame, ListedFolder& listed, const std::string& text) {
        engine_.SetScanningPath(text);
        frame.filesBefore = found_;
        ++listed_;
        if (listed.hasId) {
            frame.id = {listed.device, listed.inode};
            if (!visited_.seen.insert(frame.id).second) return;
        }
        if (listed.pseudo) return;
        engine_.namesListed.fetch_add(listed.examined, std::memory_order_relaxed);
        if (listed.vanished > 0)
            engine_.vanishedNumber.fetch_add(static_cast<int32_t>(listed.vanished),
                                             std::memory_order_relaxed);
        uint32_t folder_index = UINT32_MAX;
        for (const ListedFile& file : listed.files) {
            const std::string_view name(listed.names.data() + file.nameOffset, file.nameLength);
            AddToListing(frame.dir, name, file, folder_index);
        }
        frame.tasks.reserve(listed.subfolders.size());
        for (std::string& name : listed.subfolders) {
            frame.tasks.push_back(std::make_unique<Task>());
            frame.tasks.back()->name = std::move(name);
        }
        if (listed.listError != 0) {
            LogDebug("listing of %s ended early (%d)", text.c_str(), listed.listError);
        }
    }

    void AddToListing(const std::string& dir, std::string_view name, const ListedFile& file,
                      uint32_t& folder_index) {
        if (folder_index == UINT32_MAX) {
            folder_index = static_cast<uint32_t>(listing_.folders.size());
            listing_.folders.push_back(dir);
        }
        if (file.size > FileEntry::kMaxSize) {
            // Larger than any file system here lets a file be: its size cannot be kept.
            engine_.unreadableNumber.fetch_add(1, std::memory_order_relaxed);
            LogLess("%s%.*s is too large to compare", dir.c_str(), static_cast<int>(name.size()),
                    name.data());
            return;
        }
        FileEntry entry;
        entry.size = file.size & FileEntry::kMaxSize;
        entry.folder = folder_index;
        const size_t offset = listing_.AddName(name);
        entry.nameOffset = static_cast<uint32_t>(offset);
        entry.kind = file.kind & 0x7fU;
        entry.flags = file.flags & 1U;
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
        pipeline_.AddFile(index, file.device, file.inode, file.links, file.modifyNs, file.changeNs);
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
    std::string path_;  // the text of the subfolder being applied, without a final "/"

    // Shared with the helpers: the stack's frames are added and removed, and their
    // descriptors, `taken` and the tasks' flags changed, only under mutex_.
    std::mutex mutex_;
    std::condition_variable work_;  // helpers: a task may be free
    std::condition_variable done_;  // the walk: a helper finished a task
    std::vector<Frame> stack_;
    size_t ahead_ = 0;  // tasks taken by helpers and not yet applied
    bool stop_ = false;
    std::vector<std::jthread> helpers_;
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

size_t WalkThreadCount(const SearchTuning& tuning) {
    if (tuning.walkThreads > 0) return static_cast<size_t>(tuning.walkThreads);
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kDefaultWalkThreads);
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
    return walker.Run(folder, share, WalkThreadCount(engine.tuning));
}

}  // namespace merravine

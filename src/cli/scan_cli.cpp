// Argument parsing, progress display and output of the scan command line.
#include "cli/scan_cli.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cli/command_line.h"
#include "cli/scan_output.h"
#include "platform/data_folder.h"
#include "platform/file_read.h"
#include "platform/open_file_limit.h"
#include "search/search_engine.h"
#include "settings/settings_file.h"
#include "util/text.h"

namespace merravine {

void SetDefaultExtensionLists(SearchSettings& settings) {
    for (size_t list = 0; list < kDefaultExtensionLists.size(); ++list) {
        settings.extensionLists[list] = SplitExtensionList(kDefaultExtensionLists[list]);
    }
}

std::string AbsoluteFolder(const std::string& folder) {
    std::filesystem::path path(folder);
    if (path.is_relative()) path = std::filesystem::current_path() / path;
    std::string text = path.lexically_normal().generic_string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

namespace {

constexpr const char* kUsage =
    "usage: merravine scan [--kinds MASK] [--min BYTES] [--max BYTES] [--skip FLAGS] "
    "[--exclude DIR]... [--protect DIR]... [--threads N] [--walk-threads N] [--collapse-hardlinks] "
    "[--format text|json|csv] [--cache|--no-cache] [--data-dir DIR] DIR...";

struct ScanArguments {
    SearchSettings settings;
    int threads = 0;
    int walkThreads = 0;
    ScanFormat format = ScanFormat::Text;
    bool cache = true;    ///< use the content-key cache of the data folder
    std::string dataDir;  ///< empty: the program's data folder as the window uses it
};

// Parses the arguments; on failure returns the one-line message.
std::optional<std::string> ParseArguments(int argc, char** argv, ScanArguments& args) {
    SearchSettings& settings = args.settings;
    settings.skipflag = 15;
    SetDefaultExtensionLists(settings);
    settings.collapsehardlinks = 0;  // every name is printed unless asked otherwise
    const auto option = [&](const std::string& arg,
                            const std::string* given) -> std::optional<std::string> {
        if (given == nullptr) {
            if (arg == "--collapse-hardlinks") settings.collapsehardlinks = 1;
            if (arg == "--cache" || arg == "--no-cache") args.cache = arg == "--cache";
        } else if (arg == "--kinds") {
            const auto mask = ParseDecimal(*given, 63);
            if (!mask || *mask == 0) return "--kinds takes a mask from 1 to 63";
            settings.filetypes = static_cast<int32_t>(*mask);
        } else if (arg == "--min" || arg == "--max") {
            const auto bytes = ParseDecimal(*given, INT64_MAX);
            if (!bytes) return arg + " takes a number of bytes";
            (arg == "--min" ? settings.usemin : settings.usemax) = 1;
            (arg == "--min" ? settings.minsize : settings.maxsize) = static_cast<int64_t>(*bytes);
        } else if (arg == "--skip") {
            const auto flags = ParseDecimal(*given, 15);
            if (!flags) return "--skip takes flags from 0 to 15";
            settings.skipflag = static_cast<int32_t>(*flags);
        } else if (arg == "--exclude") {
            settings.excludeDirs.push_back(AbsoluteFolder(*given));
        } else if (arg == "--protect") {
            settings.protectDirs.push_back(AbsoluteFolder(*given));
        } else if (arg == "--threads") {
            const auto threads = ParseDecimal(*given, 1024);
            if (!threads || *threads == 0) return "--threads takes a number from 1 to 1024";
            args.threads = static_cast<int>(*threads);
        } else if (arg == "--walk-threads") {
            const auto threads = ParseDecimal(*given, 64);
            if (!threads || *threads == 0) return "--walk-threads takes a number from 1 to 64";
            args.walkThreads = static_cast<int>(*threads);
        } else if (arg == "--data-dir") {
            args.dataDir = *given;
        } else if (arg == "--format") {
            if (*given == "text") {
                args.format = ScanFormat::Text;
            } else if (*given == "json") {
                args.format = ScanFormat::Json;
            } else if (*given == "csv") {
                args.format = ScanFormat::Csv;
            } else {
                return "--format takes text, json or csv";
            }
        } else {
            return "unknown option " + arg;
        }
        return std::nullopt;
    };
    return ReadCommandLine(argc, argv, {"--collapse-hardlinks", "--cache", "--no-cache"},
                           settings.searchDirs, option);
}

// Shows the counters on stderr every 200 ms until stopped.
class ProgressLine {
  public:
    explicit ProgressLine(const SearchEngine& engine) : engine_(engine) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ProgressLine() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
        std::fputs("\r\033[K", stderr);
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; })) {
            const int32_t state = engine_.state.load(std::memory_order_relaxed);
            std::fprintf(stderr, "\r\033[K%s %d files, %d recorded, %d duplicates",
                         state == W_PRESEARCH ? "counting" : "reading",
                         engine_.totalNumber.load(std::memory_order_relaxed),
                         engine_.scanNumber.load(std::memory_order_relaxed),
                         engine_.duplicateNumber.load(std::memory_order_relaxed));
            std::fflush(stderr);
        }
    }

    const SearchEngine& engine_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

int RunScanCommand(int argc, char** argv) {
    platform::RaiseOpenFileLimit();  // every worker keeps files open
    try {
        ScanArguments args;
        if (const auto failure = ParseArguments(argc, argv, args)) {
            if (*failure == "help") {
                std::cout << kUsage << '\n';
                return 0;
            }
            std::cerr << "merravine scan: " << *failure << '\n';
            return 2;
        }
        SearchEngine engine;
        engine.settings = std::move(args.settings);
        engine.tuning.hashThreads = args.threads;
        engine.tuning.walkThreads = args.walkThreads;
        // No output format shows the times; the identity read with them is needed only to
        // tell names of one file apart.
        engine.tuning.readTimes = engine.settings.collapsehardlinks != 0;
        engine.tuning.releaseHeap = false;  // the process ends after its output
        if (args.cache)
            engine.tuning.cachePath = platform::ResolveDataPaths(args.dataDir).cache_file;

        const auto start = std::chrono::steady_clock::now();
        const SearchSettings& settings = engine.settings;
        const bool bounds_leave_room =
            !(settings.usemin && settings.usemax) ||
            static_cast<uint64_t>(settings.minsize) < static_cast<uint64_t>(settings.maxsize);
        if (bounds_leave_room && ChangeStateIf(engine, W_READY, W_PRESEARCH)) {
            std::optional<ProgressLine> progress;
            if (platform::StderrIsTerminal()) progress.emplace(engine);
            SearchThreadMain(engine);
        }
        ScanStats stats;
        stats.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stats.counted = engine.totalNumber.load();
        stats.scanned = engine.scanNumber.load();
        stats.duplicates = engine.duplicateNumber.load();
        stats.unreadable = engine.unreadableNumber.load();
        stats.bytesRead = engine.bytesRead.load();
        const auto lock = engine.LockGroups();
        WriteScanResult(std::cout, args.format, engine.groups, stats);
        std::cout.flush();
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "merravine scan: " << failure.what() << '\n';
        return 1;
    }
}

}  // namespace merravine

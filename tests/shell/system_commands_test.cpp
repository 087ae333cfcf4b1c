// System and host commands: power codes through a fake (nothing is ever powered off), the
// single-instance flag across real processes, the folder chooser's listing of a real tree,
// and file-manager requests through a recording launcher.
#include "shell/system_commands.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/power_control.h"
#include "platform/single_instance.h"
#include "shell/host_folder_commands.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using platform::PowerAction;

class RecordingPower final : public platform::PowerControl {
  public:
    void Request(PowerAction action) override { requests.push_back(action); }
    std::vector<PowerAction> requests;
};

class RecordingLauncher final : public platform::Launcher {
  public:
    platform::LaunchResult Run(const std::vector<std::string>& argv,
                               std::chrono::milliseconds) override {
        calls.push_back(argv);
        if (answers.empty()) return {true, true, 0};
        platform::LaunchResult next = answers.front();
        answers.erase(answers.begin());
        return next;
    }
    std::vector<std::vector<std::string>> calls;
    std::vector<platform::LaunchResult> answers;  ///< per call in order; then success
};

TEST(SystemCommandsTest, PowerOperateMapsCodesAndRefusesTheRest) {
    const struct {
        int32_t code;
        PowerAction action;
    } valid[] = {{1, PowerAction::kPowerOff},
                 {2, PowerAction::kReboot},
                 {3, PowerAction::kHibernate},
                 {4, PowerAction::kSuspend}};
    for (const auto& c : valid) {
        RecordingPower power;
        EXPECT_EQ(PowerOperate(ScriptValue::Int(c.code), power), ScriptValue::Int(0));
        ASSERT_EQ(power.requests.size(), 1u) << c.code;
        EXPECT_EQ(power.requests[0], c.action) << c.code;
    }
    const ScriptValue refused[] = {
        ScriptValue::Int(0),    ScriptValue::Int(5),
        ScriptValue::Int(-1),   ScriptValue::Int(INT32_MIN),
        ScriptValue::Text("1"), ScriptValue::OtherKind("2.5"),
        ScriptValue(),          ScriptValue::List({ScriptValue::Int(1)})};
    for (const ScriptValue& value : refused) {
        RecordingPower power;
        EXPECT_EQ(PowerOperate(value, power), ScriptValue::Int(-4)) << value.TextForm();
        EXPECT_TRUE(power.requests.empty()) << value.TextForm();
    }
}

TEST(SystemCommandsTest, FixedAnswers) {
    EXPECT_EQ(GetProductVersion(), ScriptValue::Text("3.1.2.3"));
    EXPECT_EQ(GetOsVersion(), ScriptValue::Int(12));
    EXPECT_EQ(EnableBackupPrivileges(), 1);
    EXPECT_EQ(WriteHtmlLog(ScriptValue::Text("page says %s %n")), ScriptValue::Int(0));
}

TEST(SystemCommandsTest, LanguageRoundTripKeepsTheRestOfTheFile) {
    testing::TempDir dir;
    const std::string config = (dir.Path() / "Config.ini").string();
    EXPECT_EQ(GetLang(config), ScriptValue::Text("en"));

    dir.Write("Config.ini", "[setting]\nfiletypes=63\nsearch_0=L2hvbWU=\n[LOG]\nLEVEL=2\n");
    EXPECT_EQ(GetLang(config), ScriptValue::Text("en"));
    EXPECT_EQ(SetLang(config, ScriptValue::Text("zh")), ScriptValue::Int(0));
    EXPECT_EQ(GetLang(config), ScriptValue::Text("zh"));
    const std::string text = dir.Read("Config.ini");
    for (const char* kept : {"filetypes=63", "search_0=L2hvbWU=", "[LOG]", "LEVEL=2"}) {
        EXPECT_NE(text.find(kept), std::string::npos) << kept << " lost from:\n" << text;
    }
    EXPECT_EQ(SetLang(config, ScriptValue::Text("en")), ScriptValue::Int(0));
    EXPECT_EQ(dir.Read("Config.ini").find("zh"), std::string::npos) << "one lang key only";

    EXPECT_EQ(SetLang(config, ScriptValue::Int(1)), ScriptValue::Int(0));
    EXPECT_EQ(GetLang(config), ScriptValue::Text("1"));
    EXPECT_EQ(SetLang(config, ScriptValue::Text("")), ScriptValue::Int(0));
    EXPECT_EQ(GetLang(config), ScriptValue::Text(""));
    EXPECT_EQ(SetLang(config, ScriptValue::Text(std::string(300, 'x'))), ScriptValue::Int(0));
    EXPECT_EQ(GetLang(config), ScriptValue::Text(std::string(258, 'x')));

    // A file that cannot be written answers the failure, and the language stays the default.
    const std::string unwritable = (dir.Path() / "no" / "such" / "Config.ini").string();
    EXPECT_EQ(SetLang(unwritable, ScriptValue::Text("zh")), ScriptValue::Int(2));
    EXPECT_EQ(GetLang(unwritable), ScriptValue::Text("en"));
}

// Runs `body` in a forked child and answers its exit code.
template <typename Body>
int InChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstanceTest, FlagBelongsToTheLivingHolderOnly) {
    testing::TempDir dir;
    const auto flag = dir.Path() / kInstanceFlagName;

    // A child takes the flag and stays until told to go.
    int to_child[2];
    int from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const char taken = platform::TakeInstanceFlag(flag) ? '1' : '0';
        (void)!write(from_child[1], &taken, 1);
        char go = 0;
        (void)!read(to_child[0], &go, 1);
        _exit(0);
    }
    char taken = 0;
    ASSERT_EQ(read(from_child[0], &taken, 1), 1);
    EXPECT_EQ(taken, '1');
    EXPECT_FALSE(platform::TakeInstanceFlag(flag)) << "a second process got the flag";
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    waitpid(holder, nullptr, 0);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);

    // Once the holder has ended, a new process takes the flag, even though a program the
    // holder started is still running (the flag must not leak into it).
    EXPECT_EQ(InChild([&] {
                  if (!platform::TakeInstanceFlag(flag)) return 2;
                  const auto run =
                      platform::SystemLauncher().Run({"sleep", "2"}, std::chrono::milliseconds(0));
                  return run.started ? 0 : 3;
              }),
              0);
    EXPECT_EQ(InChild([&] { return platform::TakeInstanceFlag(flag) ? 0 : 1; }), 0);
}

TEST(SingleInstanceTest, CheckProgramHadRunAnswersTheSameForTheWholeProcess) {
    testing::TempDir dir;
    setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    const ScriptValue first = CheckProgramHadRun();
    EXPECT_EQ(first, ScriptValue::Int(0));
    EXPECT_EQ(CheckProgramHadRun(), first) << "a page reload must not see itself running";
    // Another process started now finds the flag held.
    EXPECT_EQ(InChild([] {
                  return platform::TakeInstanceFlag(platform::InstanceFlagPath(kInstanceFlagName))
                             ? 0
                             : 1;
              }),
              1);
}

// Another user must not be able to create or lock our flag: it lives only in a folder
// of ours that nobody else can write, never in a shared one.
TEST(SingleInstanceTest, FlagLivesOnlyInAFolderNoOtherUserCanWrite) {
    testing::TempDir dir;
    namespace fs = std::filesystem;
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto runtime_before = saved("XDG_RUNTIME_DIR");
    const auto cache_before = saved("XDG_CACHE_HOME");
    const fs::path runtime = dir.Path() / "run";
    const fs::path cache = dir.Path() / "cache/";  // a trailing slash changes nothing
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    EXPECT_EQ(platform::InstanceFlagPath("flag"), runtime / "flag");

    const fs::path own = dir.Path() / "cache" / "merravine" / "flag";
    fs::permissions(runtime, fs::perms::all, fs::perm_options::replace);  // shared: not used
    EXPECT_EQ(platform::InstanceFlagPath("flag"), own);
    EXPECT_EQ(fs::status(own.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", "relative/run", 1);
    EXPECT_EQ(platform::InstanceFlagPath("flag"), own);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::InstanceFlagPath("flag"), own);
    // A folder of ours that others could write into is closed first.
    fs::permissions(own.parent_path(), fs::perms::all, fs::perm_options::replace);
    EXPECT_EQ(platform::InstanceFlagPath("flag"), own);
    EXPECT_EQ(fs::status(own.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(platform::TakeInstanceFlag(own));

    for (const auto& [name, value] : {std::pair{"XDG_RUNTIME_DIR", runtime_before},
                                      std::pair{"XDG_CACHE_HOME", cache_before}}) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
}

TEST(HostFolderCommandsTest, ListFoldersSortsMarksHiddenAndKeepsRawNames) {
    testing::TempDir dir;
    namespace fs = std::filesystem;
    const std::string raw_name = "\xFF\xFEraw";
    for (const std::string name : {"beta", "Alpha", ".hidden", "gamma", "alpha2"}) {
        fs::create_directory(dir.Path() / name);
    }
    fs::create_directory(dir.Path() / raw_name);
    dir.Write("file.txt", "not a folder");
    fs::create_directory_symlink(dir.Path() / "beta", dir.Path() / "link");

    const ScriptValue expected_folders = ScriptValue::List({
        ScriptValue::List({ScriptValue::Text(".hidden"), ScriptValue::Int(1)}),
        ScriptValue::List({ScriptValue::Text("Alpha"), ScriptValue::Int(0)}),
        ScriptValue::List({ScriptValue::Text("alpha2"), ScriptValue::Int(0)}),
        ScriptValue::List({ScriptValue::Text("beta"), ScriptValue::Int(0)}),
        ScriptValue::List({ScriptValue::Text("gamma"), ScriptValue::Int(0)}),
        ScriptValue::List({ScriptValue::Text(raw_name), ScriptValue::Int(0)}),
    });
    const std::string root = dir.Path().string();
    for (const std::string& asked : {root, root + "/", root + "/./beta/.."}) {
        const ScriptValue listing = ListFolders(ScriptValue::Text(asked));
        EXPECT_EQ(listing, ScriptValue::List(
                               {ScriptValue::Text(""), ScriptValue::Text(root), expected_folders}))
            << asked;
    }

    const ScriptValue missing = ListFolders(ScriptValue::Text(root + "/nowhere"));
    ASSERT_EQ(missing.Count(), 3u);
    EXPECT_NE(missing.At(0).StringOrEmpty(), "");
    EXPECT_EQ(missing.At(1), ScriptValue::Text(root + "/nowhere"));
    EXPECT_EQ(missing.At(2), ScriptValue::List({}));

    const ScriptValue not_folder = ListFolders(ScriptValue::Text(root + "/file.txt"));
    EXPECT_NE(not_folder.At(0).StringOrEmpty(), "");

    const ScriptValue empty = ListFolders(ScriptValue::Text(root + "/gamma"));
    EXPECT_EQ(empty.At(0), ScriptValue::Text(""));
    EXPECT_EQ(empty.At(2), ScriptValue::List({}));

    // An empty path and "~" list the home folder.
    setenv("HOME", root.c_str(), 1);
    EXPECT_EQ(GetHomeFolder(), ScriptValue::Text(root));
    EXPECT_EQ(ListFolders(ScriptValue::Text("")).At(1), ScriptValue::Text(root));
    EXPECT_EQ(ListFolders(ScriptValue::Text("~/beta")).At(1), ScriptValue::Text(root + "/beta"));
}

TEST(HostFolderCommandsTest, ShowInFileManagerPassesTheNameAsOneArgument) {
    const std::string folder = "/data/it's a \"test\" \\ folder";
    const std::string path = folder + "/my file, 'x'.txt";
    const std::string uri =
        "file:///data/it%27s%20a%20%22test%22%20%5C%20folder/my%20file%2C%20%27x%27.txt";

    RecordingLauncher bus_answers;
    EXPECT_EQ(ShowInFileManager(ScriptValue::Text(path), bus_answers), ScriptValue::Int(0));
    ASSERT_EQ(bus_answers.calls.size(), 1u);
    EXPECT_EQ(bus_answers.calls[0][0], "gdbus");
    EXPECT_EQ(bus_answers.calls[0][bus_answers.calls[0].size() - 2], "['" + uri + "']");

    // No file manager on the bus: xdg-open gets the folder, whole, as one argument.
    RecordingLauncher fallback;
    fallback.answers = {{true, true, 1}};
    EXPECT_EQ(ShowInFileManager(ScriptValue::Text(path), fallback), ScriptValue::Int(0));
    ASSERT_EQ(fallback.calls.size(), 2u);
    EXPECT_EQ(fallback.calls[1], (std::vector<std::string>{"xdg-open", folder}));

    RecordingLauncher nothing;
    nothing.answers = {{false, false, -1}, {false, false, -1}};
    EXPECT_EQ(ShowInFileManager(ScriptValue::Text(path), nothing), ScriptValue::Int(1));

    RecordingLauncher relative;
    EXPECT_EQ(ShowInFileManager(ScriptValue::Text("relative/x.txt"), relative),
              ScriptValue::Int(2));
    EXPECT_TRUE(relative.calls.empty());
}

// Opening a file hands exactly that plain file to xdg-open; folders, missing files and
// relative paths start nothing.
TEST(HostFolderCommandsTest, OpenFileOpensOnlyAPlainFile) {
    testing::TempDir dir;
    const std::string file = dir.Write("it's a \"name\".txt", "content").string();
    RecordingLauncher opened;
    EXPECT_EQ(OpenFile(ScriptValue::Text(file), opened), ScriptValue::Int(0));
    ASSERT_EQ(opened.calls.size(), 1u);
    EXPECT_EQ(opened.calls[0], (std::vector<std::string>{"xdg-open", file}));

    RecordingLauncher failed;
    failed.answers = {{true, true, 3}};
    EXPECT_EQ(OpenFile(ScriptValue::Text(file), failed), ScriptValue::Int(1));

    RecordingLauncher refused;
    for (const std::string& path :
         {dir.Path().string(), dir.Path().string() + "/missing.txt", std::string("x.txt")}) {
        EXPECT_EQ(OpenFile(ScriptValue::Text(path), refused), ScriptValue::Int(2)) << path;
    }
    EXPECT_TRUE(refused.calls.empty());
}

TEST(SystemCommandsTest, OpenLogFilePathAnswersCodes) {
    testing::TempDir dir;
    const std::string folder = dir.Path().string();
    const struct {
        std::optional<platform::LaunchResult> answer;
        int32_t expected;
    } cases[] = {
        {platform::LaunchResult{true, true, 0}, 0},
        {platform::LaunchResult{true, false, -1}, 0},  // still running: the browser was asked
        {platform::LaunchResult{true, true, 4}, 4},
        {platform::LaunchResult{false, false, -1}, 31},
    };
    for (const auto& c : cases) {
        RecordingLauncher launcher;
        launcher.answers = {*c.answer};
        EXPECT_EQ(OpenLogFilePath(folder, launcher), ScriptValue::Int(c.expected));
        ASSERT_EQ(launcher.calls.size(), 1u);
        EXPECT_EQ(launcher.calls[0], (std::vector<std::string>{"xdg-open", folder}));
    }
    RecordingLauncher launcher;
    EXPECT_EQ(OpenLogFilePath(folder + "/Log", launcher), ScriptValue::Int(2));
    EXPECT_TRUE(launcher.calls.empty());
}

TEST(LauncherTest, RunsRealProgramsWithoutAShell) {
    platform::Launcher& launcher = platform::SystemLauncher();
    const auto ok = launcher.Run({"true"}, std::chrono::seconds(10));
    EXPECT_TRUE(ok.started && ok.finished);
    EXPECT_EQ(ok.exit_code, 0);
    const auto failed = launcher.Run({"false"}, std::chrono::seconds(10));
    EXPECT_TRUE(failed.finished);
    EXPECT_EQ(failed.exit_code, 1);
    // A name with shell syntax is one program name, looked up as is, and not found.
    EXPECT_FALSE(launcher.Run({"true; false"}, std::chrono::seconds(1)).started);
    EXPECT_FALSE(launcher.Run({"no-such-program-merravine"}, std::chrono::seconds(1)).started);
    const auto running = launcher.Run({"sleep", "1"}, std::chrono::milliseconds(10));
    EXPECT_TRUE(running.started);
    EXPECT_FALSE(running.finished);
}

}  // namespace
}  // namespace merravine

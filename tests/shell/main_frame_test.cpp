// The command surface of the real MainFrame: every command under its exact name and
// argument count, nothing else, and the commands whose body is the dispatcher's own.
#include "shell/main_frame.h"

#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>

#include "support/temp_dir.h"

namespace merravine::shell {
namespace {

using SV = ScriptValue;
using Status = CallOutcome::Status;

// A window that records what was asked of it instead of closing anything.
class RecordingWindow final : public DesktopWindow {
  public:
    void Run() override {}
    void RequestClose() override { ++closes; }
    void Minimize() override { ++minimizes; }
    void StartMove() override { ++moves; }
    void ToggleMaximize() override { ++maximizes; }
    void Place(int width, int height, bool resizable) override {
        placed = std::to_string(width) + "x" + std::to_string(height) +
                 (resizable ? " resizable" : " fixed");
    }
    int closes = 0;
    int minimizes = 0;
    int moves = 0;
    int maximizes = 0;
    std::string placed;
};

class MainFrameTest : public ::testing::Test {
  protected:
    AppPaths Paths() const {
        AppPaths paths;
        paths.database_path = (temp_.Path() / "duplicate.db").string();
        paths.config_path = (temp_.Path() / "Config.ini").string();
        paths.log_folder = (temp_.Path() / "Log").string();
        return paths;
    }
    CallOutcome Call(const std::string& name, const SV::Array& args = {}) {
        return frame_.OnScriptCall(name, args);
    }

    merravine::testing::TempDir temp_;
    MainFrame frame_{Paths()};
};

TEST_F(MainFrameTest, EveryCommandUnderItsExactNameAndCount) {
    const std::pair<const char*, uint32_t> expected[] = {
        {"WriteHtmlLog", 1},
        {"OpenLogFilePath", 0},
        {"PowerOperate", 1},
        {"GetOsVersion", 0},
        {"GetProductVersion", 0},
        {"CheckProgramHadRun", 0},
        {"GetLang", 0},
        {"SetLang", 1},
        {"GetSettings", 0},
        {"SetSettings", 1},
        {"BeginSearch", 0},
        {"PauseSearch", 0},
        {"ResumeSearch", 0},
        {"AbortSearch", 0},
        {"GetDuplicateFileNumber", 0},
        {"SetSearchDirectory", 1},
        {"GetSearchDirectory", 0},
        {"SetExcludeDirectory", 1},
        {"GetExcludeDirectory", 0},
        {"SetProtectDirectory", 1},
        {"GetProtectDirectory", 0},
        {"GetScanningInfo", 0},
        {"GetDuplicateFiles", 1},
        {"DeleteFiles", 1},
        {"StopDelFile", 0},
        {"GetScanReord", 0},
        {"DelOneRecord", 1},
        {"LoadRecord", 1},
        {"DelAllRecord", 1},
        // Host commands the pages need.
        {"GetHomeFolder", 0},
        {"ListFolders", 1},
        {"ShowInFileManager", 1},
        {"CloseWindow", 0},
        {"MinimizeWindow", 0},
        {"DragWindow", 0},
        {"ToggleMaximizeWindow", 0},
        {"PlaceWindow", 3},
        {"GetRunningJobs", 0},
        {"TrashFiles", 1},
        // The results page: file identity options, the set count, what could not be read.
        {"GetCollapseHardLinks", 0},
        {"SetCollapseHardLinks", 1},
        {"GetSetCount", 1},
        {"GetScanProblems", 0},
        {"OpenFile", 1},
        // The other actions on the results, their undo and the export.
        {"LinkFiles", 1},
        {"ReflinkFiles", 1},
        {"MoveFiles", 2},
        {"CanReflink", 1},
        {"UndoTrash", 0},
        {"ExportResults", 2},
        // The content-key cache.
        {"ClearCache", 0},
        {"GetUseCache", 0},
        {"GetScanEstimate", 0},
        {"SetUseCache", 1},
    };
    for (const auto& [name, count] : expected) {
        EXPECT_EQ(frame_.Commands().ArgumentCount(name), std::optional<uint32_t>(count)) << name;
    }
    EXPECT_EQ(frame_.Commands().Size(), std::size(expected));
}

TEST_F(MainFrameTest, CallsThatAreNotHandled) {
    const std::pair<const char*, size_t> refused[] = {
        {"BeginSearch", 1},
        {"beginSearch", 0},
        {"GetDuplicateFiles", 0},
        {"GetDuplicateFiles", 2},
        {"PowerOperate", 0},
        {"CloseWindow", 1},
        {"", 0},
        {"OnScriptCall", 0},
    };
    for (const auto& [name, count] : refused) {
        const CallOutcome outcome = Call(name, SV::Array(count, SV::Int(1)));
        EXPECT_EQ(outcome.status, Status::kNotHandled) << name << "/" << count;
        EXPECT_EQ(outcome.error.rfind("not handled: ", 0), 0u);
    }
}

TEST(CommandTable, ASecondCommandOfATakenNameIsRefused) {
    CommandTable table;
    table.Add("Echo", 1, [](const SV::Array& a) { return a[0]; });
    EXPECT_THROW(table.Add("Echo", 1, [](const SV::Array&) { return SV::Int(2); }),
                 std::logic_error);
    EXPECT_THROW(table.Add("Echo", 0, [](const SV::Array&) { return SV::Int(2); }),
                 std::logic_error);
    table.Add("echo", 1, [](const SV::Array&) { return SV::Int(3); });  // names are case-sensitive
    EXPECT_EQ(table.Size(), 2u);
    EXPECT_EQ(table.Call("Echo", {SV::Text("x")}).value, SV::Text("x"));  // the first one stays
}

TEST_F(MainFrameTest, DispatcherOwnCommands) {
    // No search folder: BeginSearch answers 0 and starts nothing.
    EXPECT_EQ(Call("BeginSearch").value, SV::Int(0));
    EXPECT_EQ(frame_.Engine().state.load(), W_READY);
    EXPECT_EQ(Call("GetDuplicateFileNumber").value, SV::Int(0));
    EXPECT_EQ(Call("AbortSearch").value, SV::Int(0));
    EXPECT_EQ(frame_.Engine().state.load(), W_READY);
    // Never 1 to 4 here: those would power the machine off.
    EXPECT_EQ(Call("PowerOperate", {SV::Int(5)}).value, SV::Int(-4));
    EXPECT_EQ(Call("PowerOperate", {SV::Text("1")}).value, SV::Int(-4));
    EXPECT_EQ(Call("GetOsVersion").value, SV::Int(12));
    EXPECT_EQ(Call("WriteHtmlLog", {SV::List({SV::Int(1), SV::Text("x")})}).value, SV::Int(0));
    // The history is open from the start, and empty.
    EXPECT_TRUE(std::filesystem::exists(temp_.Path() / "duplicate.db"));
    EXPECT_TRUE(Call("GetScanReord").value.IsUndefined());
    EXPECT_EQ(Call("LoadRecord", {SV::Int(0)}).value, SV::Int(-1));
    EXPECT_EQ(Call("StopDelFile").value, SV::Int(0));
    EXPECT_EQ(frame_.Deleter().State(), 0);

    RecordingWindow window;
    frame_.Attach(nullptr, &window);
    EXPECT_EQ(Call("MinimizeWindow").value, SV::Int(0));
    EXPECT_EQ(Call("CloseWindow").value, SV::Int(0));
    EXPECT_EQ(window.minimizes, 1);
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(Call("DragWindow").value, SV::Int(0));
    EXPECT_EQ(Call("ToggleMaximizeWindow").value, SV::Int(0));
    EXPECT_EQ(window.moves, 1);
    EXPECT_EQ(window.maximizes, 1);
    // Sizes a page may ask for; nonsense is refused with 1 and leaves the window alone.
    EXPECT_EQ(Call("PlaceWindow", {SV::Int(400), SV::Int(250), SV::Int(0)}).value, SV::Int(0));
    EXPECT_EQ(window.placed, "400x250 fixed");
    for (const auto& [w, h] : {std::pair{0, 250}, {400, -5}, {99999, 700}, {400, 20000}}) {
        EXPECT_EQ(Call("PlaceWindow", {SV::Int(w), SV::Int(h), SV::Int(1)}).value, SV::Int(1))
            << w << "x" << h;
    }
    EXPECT_EQ(Call("PlaceWindow", {SV::Int(902), SV::Int(702), SV::Int(1)}).value, SV::Int(0));
    EXPECT_EQ(window.placed, "902x702 resizable");
    // Idle: nothing that closing would cut short.
    EXPECT_EQ(Call("GetRunningJobs").value, SV::List({SV::Int(W_READY), SV::Int(0)}));
}

TEST_F(MainFrameTest, SettingsCrossAsTheirTextAndStayWhileASearchRuns) {
    // A size beyond 32 bits reaches native code as its text and goes back as text.
    const SV options = SV::List({SV::Int(63), SV::Text(""), SV::Int(1), SV::OtherKind("3000000000"),
                                 SV::Int(0), SV::Int(0), SV::Int(15)});
    EXPECT_EQ(Call("SetSettings", {options}).value, SV::Int(0));
    EXPECT_EQ(Call("GetSettings").value.At(3), SV::Text("3000000000"));
    EXPECT_EQ(Call("SetSettings", {SV::List({SV::Int(1)})}).value, SV::Int(1));
    EXPECT_TRUE(Call("GetExcludeDirectory").value.IsUndefined());  // an empty list is undefined
    EXPECT_EQ(Call("SetExcludeDirectory", {SV::List({SV::Text("/tmp/a")})}).value, SV::Int(0));
    EXPECT_EQ(Call("GetExcludeDirectory").value, SV::List({SV::Text("/tmp/a")}));

    // While a search runs, its settings are not changed under it: the busy answer.
    frame_.Engine().state.store(W_SEARCH);
    EXPECT_EQ(Call("SetSettings", {options}).value, SV::Int(1));
    EXPECT_EQ(Call("SetExcludeDirectory", {SV::List({SV::Text("/tmp/b")})}).value, SV::Int(1));
    EXPECT_EQ(Call("SetSearchDirectory", {SV::List({SV::Text("/tmp/b")})}).value, SV::Int(1));
    EXPECT_EQ(Call("SetProtectDirectory", {SV::List({SV::Text("/tmp/b")})}).value, SV::Int(1));
    EXPECT_EQ(Call("BeginSearch").value, SV::Int(1));
    frame_.Engine().state.store(W_READY);
    EXPECT_EQ(Call("GetExcludeDirectory").value, SV::List({SV::Text("/tmp/a")}));
    EXPECT_TRUE(Call("GetProtectDirectory").value.IsUndefined());

    EXPECT_EQ(Call("GetLang").value, SV::Text("en"));
    EXPECT_EQ(Call("SetLang", {SV::Text("fr")}).value, SV::Int(0));
    EXPECT_EQ(Call("GetLang").value, SV::Text("fr"));
    // The settings were saved where the program keeps them, and a new start reads them back.
    MainFrame restarted(Paths());
    EXPECT_EQ(restarted.OnScriptCall("GetSettings", {}).value.At(3), SV::Text("3000000000"));
    EXPECT_EQ(restarted.OnScriptCall("GetExcludeDirectory", {}).value,
              SV::List({SV::Text("/tmp/a")}));
}

}  // namespace
}  // namespace merravine::shell

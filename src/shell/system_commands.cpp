// The system commands over the platform layer. Power actions and program launches go through
// the seams handed in; everything else is answered from the process itself.
#include "shell/system_commands.h"

#include "platform/os_version.h"
#include "platform/shell_open.h"
#include "platform/single_instance.h"
#include "settings/settings_file.h"
#include "util/ini_file.h"
#include "util/log.h"

namespace merravine {

ScriptValue WriteHtmlLog(const ScriptValue& value) {
    LogDebug("%s", value.TextForm().c_str());
    return ScriptValue::Int(0);
}

ScriptValue OpenLogFilePath(const std::string& log_folder, platform::Launcher& launcher) {
    return ScriptValue::Int(platform::OpenFolder(launcher, log_folder));
}

ScriptValue PowerOperate(const ScriptValue& code, platform::PowerControl& power) {
    using platform::PowerAction;
    const int32_t reading = code.IntOr(0);
    if (reading < 1 || reading > 4) return ScriptValue::Int(-4);
    static constexpr PowerAction kActions[] = {PowerAction::kPowerOff, PowerAction::kReboot,
                                               PowerAction::kHibernate, PowerAction::kSuspend};
    power.Request(kActions[reading - 1]);
    return ScriptValue::Int(0);
}

int EnableBackupPrivileges() { return 1; }

ScriptValue GetOsVersion() { return ScriptValue::Int(platform::OsVersionCode()); }

std::string GetFileVersionString() { return MERRAVINE_VERSION; }

ScriptValue GetProductVersion() { return ScriptValue::Text(GetFileVersionString()); }

ScriptValue GetLang(const std::string& config_file) {
    return ScriptValue::Text(ReadProfileString(config_file, kSettingSection, "lang", "en"));
}

ScriptValue SetLang(const std::string& config_file, const ScriptValue& value) {
    const bool saved = WriteProfileString(config_file, kSettingSection, "lang", value.TextForm());
    return ScriptValue::Int(saved ? 0 : kNotSaved);
}

std::filesystem::path InstanceBellPath() {
    std::filesystem::path path = platform::InstanceFlagPath(kInstanceFlagName);
    path += ".bell";
    return path;
}

ScriptValue CheckProgramHadRun() {
    // Thread-safe one-time initialisation; the flag's descriptor stays open with it.
    static const int32_t answer =
        platform::TakeInstanceFlag(platform::InstanceFlagPath(kInstanceFlagName)) ? 0 : 1;
    return ScriptValue::Int(answer);
}

}  // namespace merravine

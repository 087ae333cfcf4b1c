// Commands that reach the operating system and the program's own files: the log, power
// control, the versions, the UI language and the single-instance flag. Each is a plain
// function from script values to the one value the command answers; none throws. They run
// on the UI thread, except EnableBackupPrivileges (the delete thread). Where a command
// would act on the machine (power, starting programs) it takes the seam as a parameter,
// defaulting to the real one, so tests never power anything off.
#pragma once

#include <filesystem>
#include <string>

#include "platform/os_launcher.h"
#include "platform/power_control.h"
#include "util/script_value.h"

namespace merravine {

/// The single-instance flag's name.
inline constexpr const char* kInstanceFlagName = "CorvantisHarrowquillen_rUn_fLag-2022_4_21-1515";

/// The socket beside the single-instance flag through which a later start reaches the first.
std::filesystem::path InstanceBellPath();

/// Logs the value's text at debug level; answers 0.
ScriptValue WriteHtmlLog(const ScriptValue& value);

/// Opens `log_folder` (where the log file is written) in the file browser. Answers 0, or a
/// failure code from 1 to 32 (2: the folder does not exist).
ScriptValue OpenLogFilePath(const std::string& log_folder,
                            platform::Launcher& launcher = platform::SystemLauncher());

/// 1 shut down, 2 restart, 3 hibernate, 4 sleep; answers 0 when requested, -4 (and does
/// nothing) for any other value, including values without an integer reading.
ScriptValue PowerOperate(const ScriptValue& code,
                         platform::PowerControl& power = platform::SystemPowerControl());

/// Linux has no privileges to enable for deleting: always 1.
int EnableBackupPrivileges();

/// The system version code: 12, the code of a system that is none of the listed Windows.
ScriptValue GetOsVersion();

/// The program's version text, "3.1.2.3".
ScriptValue GetProductVersion();

/// The program's version text (also logged at start as "version: %s").
std::string GetFileVersionString();

/// The stored UI language: key `lang` of section `setting` of `config_file`; "en" when the
/// file or key is missing, the empty string when the key is empty, cut at 258 characters.
ScriptValue GetLang(const std::string& config_file);

/// Stores the value's text as key `lang` of section `setting` of `config_file`, creating
/// the file when missing and keeping every other line; answers 0 even when the write fails.
ScriptValue SetLang(const std::string& config_file, const ScriptValue& value);

/// 1 when another running process holds the single-instance flag, else 0. The answer is
/// taken once and kept for the life of the process: a page reload asks again and must not
/// find its own process "already running".
ScriptValue CheckProgramHadRun();

}  // namespace merravine

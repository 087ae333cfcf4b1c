#include "cli/results_export.h"

#include <sstream>

#include "cli/scan_output.h"
#include "platform/atomic_file.h"
#include "util/log.h"

namespace merravine {

ScriptValue ExportResults(const SearchEngine& engine, const ScriptValue& file,
                          const ScriptValue& format) {
    if (engine.state.load() != W_READY) return ScriptValue::Int(1);
    const std::string path = file.TextForm();
    const std::string kind = format.TextForm();
    if (path.empty() || path[0] != '/' || path.back() == '/' || (kind != "csv" && kind != "json")) {
        return ScriptValue::Int(2);
    }
    ScanStats stats;
    stats.counted = engine.totalNumber.load();
    stats.scanned = engine.scanNumber.load();
    stats.duplicates = engine.duplicateNumber.load();
    stats.unreadable = engine.unreadableNumber.load();
    stats.bytesRead = engine.bytesRead.load();
    std::ostringstream out;
    {
        const auto lock = engine.LockGroups();
        WriteScanResult(out, kind == "csv" ? ScanFormat::Csv : ScanFormat::Json, engine.groups,
                        stats);
    }
    std::string error;
    if (!platform::ReplaceFileAtomically(path, out.str(), error)) {
        LogLess("The results could not be exported: %s", error.c_str());
        return ScriptValue::Int(3);
    }
    return ScriptValue::Int(0);
}

}  // namespace merravine

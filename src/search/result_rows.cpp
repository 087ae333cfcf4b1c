// Building the twelve-value result rows from the groups and handing them to the page.
#include "search/result_rows.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace merravine {

void ForEachDeliveredMember(
    const std::vector<SizeGroup>& groups, int32_t mask, size_t maxGroups,
    const std::function<void(const SizeGroup&, const FileRecord&, int32_t)>& visit) {
    int32_t set_number = 0;
    const size_t group_count = std::min(groups.size(), maxGroups);
    for (size_t g = 0; g < group_count; ++g) {
        const SizeGroup& group = groups[g];
        const auto& members = group.members;
        for (size_t start = 0; start < members.size();) {
            size_t end = start + 1;
            while (end < members.size() && members[end].key == members[start].key) ++end;
            // A set that removals left with one member is no set any more.
            if (end - start >= 2) {
                bool numbered = false;
                for (size_t i = start; i < end; ++i) {
                    if ((members[i].kind & mask) == 0) continue;
                    if (!numbered) ++set_number;
                    numbered = true;
                    visit(group, members[i], set_number);
                }
            }
            start = end;
        }
    }
}

ScriptValue BuildDuplicateRows(const SearchEngine& engine, int32_t mask) {
    ScriptValue rows;
    const auto lock = engine.LockGroups();
    ForEachDeliveredMember(
        engine.groups, mask, kMaxDeliveredGroups,
        [&rows](const SizeGroup& group, const FileRecord& member, int32_t set_number) {
            const std::string size_text = std::to_string(static_cast<long long>(group.size));
            ScriptValue::Array row;
            row.reserve(15);
            row.push_back(ScriptValue::Int(0));
            row.push_back(ScriptValue::Text(member.path));
            row.push_back(ScriptValue::Text(member.namenosuffix));
            row.push_back(ScriptValue::Text(member.suffix));
            row.push_back(ScriptValue::Text(size_text));
            row.push_back(ScriptValue::Text(size_text));
            row.push_back(ScriptValue::Text(TimeText(member.createTime)));
            row.push_back(ScriptValue::Text(TimeText(member.modifyTime)));
            row.push_back(ScriptValue::Text(TimeText(member.accessTime)));
            row.push_back(ScriptValue::Int(set_number));
            row.push_back(ScriptValue::Int(member.kind));
            row.push_back(ScriptValue::Int(member.flags));
            // The file's identity, so the page can tell names of one file
            // apart from copies; "0" when it was not read (stored scans).
            row.push_back(ScriptValue::Text(std::to_string(member.device)));
            row.push_back(ScriptValue::Text(std::to_string(member.inode)));
            row.push_back(ScriptValue::Int(
                static_cast<int32_t>(std::min<uint32_t>(member.links, INT32_MAX))));
            rows.Append(ScriptValue::List(std::move(row)));
        });
    return rows;
}

int32_t CountSets(const SearchEngine& engine, int32_t mask) {
    int32_t sets = 0;
    const auto lock = engine.LockGroups();
    ForEachDeliveredMember(
        engine.groups, mask, SIZE_MAX,
        [&sets](const SizeGroup&, const FileRecord&, int32_t set_number) { sets = set_number; });
    return sets;
}

bool DeliverDuplicates(const SearchEngine& engine, PageBridge& bridge, int32_t mask) {
    const ScriptValue rows = BuildDuplicateRows(engine, mask);
    return bridge.CallScriptFunction("DuplicateFileToUI", rows).ok;
}

}  // namespace merravine

// Building the twelve-value result rows from the groups and handing them to the page.
#include "search/result_rows.h"

#include <string>

namespace merravine {

void ForEachDeliveredMember(const std::vector<SizeGroup>& groups, int32_t mask, size_t maxGroups,
                            const std::function<void(const SizeGroup&, const FileRecord&, int32_t)>& visit) {
    int32_t set_number = 0;
    const size_t group_count = std::min(groups.size(), maxGroups);
    for (size_t g = 0; g < group_count; ++g) {
        const SizeGroup& group = groups[g];
        const ContentKey* previous = nullptr;
        for (const FileRecord& member : group.members) {
            if ((member.kind & mask) == 0) continue;
            if (previous == nullptr || *previous != member.key) ++set_number;
            visit(group, member, set_number);
            previous = &member.key;
        }
    }
}

ScriptValue BuildDuplicateRows(const SearchEngine& engine, int32_t mask) {
    ScriptValue rows;
    const auto lock = engine.LockGroups();
    ForEachDeliveredMember(engine.groups, mask, kMaxDeliveredGroups,
                           [&rows](const SizeGroup& group, const FileRecord& member, int32_t set_number) {
                               const std::string size_text = std::to_string(static_cast<long long>(group.size));
                               ScriptValue::Array row;
                               row.reserve(12);
                               row.push_back(ScriptValue::Int(0));
                               row.push_back(ScriptValue::Text(member.path));
                               row.push_back(ScriptValue::Text(member.namenosuffix));
                               row.push_back(ScriptValue::Text(member.suffix));
                               row.push_back(ScriptValue::Text(size_text));
                               row.push_back(ScriptValue::Text(size_text));
                               row.push_back(ScriptValue::Text(member.createTime));
                               row.push_back(ScriptValue::Text(member.modifyTime));
                               row.push_back(ScriptValue::Text(member.accessTime));
                               row.push_back(ScriptValue::Int(set_number));
                               row.push_back(ScriptValue::Int(member.kind));
                               row.push_back(ScriptValue::Int(member.flags));
                               rows.Append(ScriptValue::List(std::move(row)));
                           });
    return rows;
}

bool DeliverDuplicates(const SearchEngine& engine, PageBridge& bridge, int32_t mask) {
    const ScriptValue rows = BuildDuplicateRows(engine, mask);
    return bridge.CallScriptFunction("DuplicateFileToUI", rows).ok;
}

}  // namespace merravine

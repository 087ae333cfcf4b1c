// Changes to the result groups made outside a search: clearing, inserting the
// records of a stored scan, removing deleted files, pruning, and the invariant check.
#include "search/size_groups.h"

#include <algorithm>

#include "search/search_engine.h"

namespace merravine {
namespace {

// Position of the group of `size`, or where such a group would be inserted.
std::vector<SizeGroup>::iterator FindGroup(std::vector<SizeGroup>& groups, FileLen size) {
    return std::lower_bound(
        groups.begin(), groups.end(), size,
        [](const SizeGroup& group, FileLen wanted) { return group.size < wanted; });
}

}  // namespace

void ClearResults(SearchEngine& engine) {
    engine.groups.clear();
    engine.groups.shrink_to_fit();
    engine.totalNumber.store(0, std::memory_order_relaxed);
    engine.scanNumber.store(0, std::memory_order_relaxed);
    engine.duplicateNumber.store(0, std::memory_order_relaxed);
    engine.unreadableNumber.store(0, std::memory_order_relaxed);
    engine.unlistableNumber.store(0, std::memory_order_relaxed);
    engine.vanishedNumber.store(0, std::memory_order_relaxed);
    engine.problems.Clear();
    engine.partial.store(false, std::memory_order_relaxed);
    engine.bytesRead.store(0, std::memory_order_relaxed);
    engine.bytesPlanned.store(0, std::memory_order_relaxed);
    engine.bytesCredited.store(0, std::memory_order_relaxed);
    engine.walkedShare.store(0, std::memory_order_relaxed);
    engine.walkDone.store(false, std::memory_order_relaxed);
    engine.namesListed.store(0, std::memory_order_relaxed);
    engine.namesAhead.store(0, std::memory_order_relaxed);
    engine.bytesEscalated.store(0, std::memory_order_relaxed);
    engine.firstReadsPlanned.store(0, std::memory_order_relaxed);
    engine.firstReadsDone.store(0, std::memory_order_relaxed);
    engine.firstReadsCached.store(0, std::memory_order_relaxed);
    engine.bytesCached.store(0, std::memory_order_relaxed);
    engine.unbalancedNumber.store(0, std::memory_order_relaxed);
}

FileRecord* AddToGroups(SearchEngine& engine, std::string_view path, std::string_view namenosuffix,
                        std::string_view suffix, int32_t kind, FileLen size,
                        std::string_view keyText) {
    engine.scanNumber.fetch_add(1, std::memory_order_relaxed);
    if (engine.state.load(std::memory_order_relaxed) == W_ABORT) return nullptr;

    FileRecord record;
    record.path = path;
    record.namenosuffix = namenosuffix;
    record.suffix = suffix;
    record.size = size;
    record.kind = kind;
    record.key = ContentKey::FromText(keyText);

    auto group = FindGroup(engine.groups, size);
    if (group == engine.groups.end() || group->size != size) {
        group = engine.groups.insert(group, SizeGroup{size, {}});
        group->members.push_back(std::move(record));
        return &group->members.back();
    }
    auto& members = group->members;
    if (size == 0) {
        engine.duplicateNumber.fetch_add(1, std::memory_order_relaxed);
        members.push_back(std::move(record));
        return &members.back();
    }
    auto at = std::find_if(members.begin(), members.end(),
                           [&](const FileRecord& member) { return member.key >= record.key; });
    if (at != members.end() && at->key == record.key) {
        engine.duplicateNumber.fetch_add(1, std::memory_order_relaxed);
    }
    return &*members.insert(at, std::move(record));
}

bool RemoveFromGroups(SearchEngine& engine, const FileRecord& probe) {
    auto group = FindGroup(engine.groups, probe.size);
    if (group == engine.groups.end() || group->size != probe.size) return false;
    auto& members = group->members;
    auto at = std::find_if(members.begin(), members.end(), [&](const FileRecord& member) {
        return member.path == probe.path && member.namenosuffix == probe.namenosuffix &&
               member.suffix == probe.suffix;
    });
    if (at == members.end()) return false;
    members.erase(at);
    if (members.empty()) engine.groups.erase(group);
    return true;
}

std::string CheckGroupInvariants(const std::vector<SizeGroup>& groups, bool pruned) {
    for (size_t g = 0; g < groups.size(); ++g) {
        const SizeGroup& group = groups[g];
        const std::string where =
            "group " + std::to_string(g) + " (size " + std::to_string(group.size) + "): ";
        if (g > 0 && groups[g - 1].size >= group.size)
            return where + "sizes not strictly ascending";
        if (group.members.empty()) return where + "no member";
        if (pruned && group.members.size() < 2) return where + "a single member after pruning";
        for (size_t i = 0; i < group.members.size(); ++i) {
            const FileRecord& member = group.members[i];
            if (member.size != group.size)
                return where + "member of another size: " + member.FullPath();
            if (group.size == 0) {
                if (member.key != ContentKey{}) return where + "empty file with a key";
                continue;
            }
            if (i > 0 && group.members[i - 1].key > member.key) return where + "keys out of order";
            if (pruned) {
                const bool twin =
                    (i > 0 && group.members[i - 1].key == member.key) ||
                    (i + 1 < group.members.size() && group.members[i + 1].key == member.key);
                if (!twin) return where + "member without a twin: " + member.FullPath();
            }
        }
    }
    return {};
}

}  // namespace merravine

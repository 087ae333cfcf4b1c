#include "search/final_check.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "platform/file_walk.h"

namespace merravine {

namespace {

bool StillEmptyPlainFile(const FileRecord& record) {
    platform::EntryStat now;
    return platform::StatPath(record.FullPath(), now) == 0 &&
           now.type == platform::EntryType::File && now.size == 0;
}

// Members are ordered by key, so the members of one set are neighbours.
void KeepOnlyTwins(std::vector<FileRecord>& members) {
    std::vector<FileRecord> kept;
    for (size_t i = 0; i < members.size(); ++i) {
        const bool twin = (i > 0 && members[i - 1].key == members[i].key) ||
                          (i + 1 < members.size() && members[i + 1].key == members[i].key);
        if (twin) kept.push_back(std::move(members[i]));
    }
    members = std::move(kept);
}

}  // namespace

void RecheckSets(std::vector<SizeGroup>& groups) {
    for (SizeGroup& group : groups) {
        auto& members = group.members;
        if (group.size == 0)
            std::erase_if(members, [](const FileRecord& m) { return !StillEmptyPlainFile(m); });
        std::set<std::tuple<ContentKey, uint64_t, uint64_t>> seen;
        std::erase_if(members, [&seen](const FileRecord& m) {
            if (m.links != 1 || m.inode == 0) return false;
            return !seen.insert({m.key, m.device, m.inode}).second;
        });
        KeepOnlyTwins(members);
    }
    std::erase_if(groups, [](const SizeGroup& group) { return group.members.size() < 2; });
}

}  // namespace merravine

#include "search/final_check.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "platform/file_walk.h"

namespace merravine {

namespace {

bool StillEmptyPlainFile(const FileRecord& record) {
    platform::EntryStat now;
    return platform::StatPath(record.FullPath(), now) == 0 &&
           now.type == platform::EntryType::File && now.size == 0;
}

// Members are ordered by key, so the members of one set are neighbours. Compacts in
// place: a group may hold millions of records (empty files), too many to copy.
void KeepOnlyTwins(std::vector<FileRecord>& members) {
    size_t kept = 0;
    ContentKey previous;
    for (size_t i = 0; i < members.size(); ++i) {
        const ContentKey key = members[i].key;  // members[i - 1] may be moved from
        const bool twin =
            (i > 0 && previous == key) || (i + 1 < members.size() && members[i + 1].key == key);
        previous = key;
        if (!twin) continue;
        if (kept != i) members[kept] = std::move(members[i]);
        ++kept;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
}

// Drops every member whose key, device and inode an earlier member with one link
// has too (one file under two names), by sorting positions rather than a node set.
void DropSecondNames(std::vector<FileRecord>& members) {
    struct Name {
        uint64_t device;
        uint64_t inode;
        size_t at;
    };
    std::vector<Name> names;
    for (size_t i = 0; i < members.size(); ++i) {
        if (members[i].links == 1 && members[i].inode != 0)
            names.push_back(Name{members[i].device, members[i].inode, i});
    }
    if (names.size() < 2) return;
    std::sort(names.begin(), names.end(), [&members](const Name& a, const Name& b) {
        return std::tie(a.device, a.inode, members[a.at].key, a.at) <
               std::tie(b.device, b.inode, members[b.at].key, b.at);
    });
    std::vector<bool> drop(members.size(), false);
    for (size_t i = 1; i < names.size(); ++i) {
        const Name& before = names[i - 1];
        const Name& name = names[i];
        if (before.device == name.device && before.inode == name.inode &&
            members[before.at].key == members[name.at].key) {
            drop[name.at] = true;
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        if (drop[i]) continue;
        if (kept != i) members[kept] = std::move(members[i]);
        ++kept;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
}

}  // namespace

void RecheckSets(std::vector<SizeGroup>& groups) {
    for (SizeGroup& group : groups) {
        auto& members = group.members;
        if (group.size == 0)
            std::erase_if(members, [](const FileRecord& m) { return !StillEmptyPlainFile(m); });
        DropSecondNames(members);
        KeepOnlyTwins(members);
    }
    std::erase_if(groups, [](const SizeGroup& group) { return group.members.size() < 2; });
}

}  // namespace merravine

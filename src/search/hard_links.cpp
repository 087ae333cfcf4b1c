// Collapsing the names of one file within each set of the result groups.
#include "search/hard_links.h"

#include <algorithm>

namespace merravine {

bool SameFile(const FileRecord& a, const FileRecord& b) {
    return a.inode != 0 && a.inode == b.inode && a.device == b.device;
}

size_t CollapseHardLinks(std::vector<SizeGroup>& groups) {
    size_t removed = 0;
    for (SizeGroup& group : groups) {
        std::vector<FileRecord> kept;
        kept.reserve(group.members.size());
        auto& members = group.members;
        for (size_t start = 0; start < members.size();) {
            size_t end = start + 1;
            while (end < members.size() && members[end].key == members[start].key) ++end;
            const size_t set_start = kept.size();
            for (size_t i = start; i < end; ++i) {
                const bool seen =
                    std::any_of(kept.begin() + static_cast<std::ptrdiff_t>(set_start), kept.end(),
                                [&](const FileRecord& k) { return SameFile(k, members[i]); });
                if (seen) {
                    ++removed;
                } else {
                    kept.push_back(std::move(members[i]));
                }
            }
            // A set of one file is no set.
            if (kept.size() - set_start < 2) {
                removed += kept.size() - set_start;
                kept.resize(set_start);
            }
            start = end;
        }
        members = std::move(kept);
    }
    std::erase_if(groups, [](const SizeGroup& group) { return group.members.empty(); });
    return removed;
}

}  // namespace merravine

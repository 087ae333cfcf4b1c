// The groups as deletion and the history loader change them, the invariant checker,
// and the result rows the page receives.
#include <gtest/gtest.h>

#include "search/result_rows.h"
#include "search/search_commands.h"
#include "search_test_support.h"

namespace merravine {
namespace {

std::vector<std::string> Names(const SizeGroup& group) {
    std::vector<std::string> names;
    for (const FileRecord& member : group.members)
        names.push_back(member.namenosuffix + member.suffix);
    return names;
}

TEST(SizeGroups, StoredScanInsertsByKeyLatestFirst) {
    SearchEngine engine;
    const auto lock = engine.LockGroups();
    AddToGroups(engine, "/d/", "one.", "txt", KIND_DOCUMENT, 100, "bbbb");
    AddToGroups(engine, "/d/", "two.", "txt", KIND_DOCUMENT, 100, "aaaa");
    FileRecord* three = AddToGroups(engine, "/d/", "three.", "txt", KIND_DOCUMENT, 100, "bbbb");
    AddToGroups(engine, "/d/", "big", "", KIND_OTHER, 300, "x");
    AddToGroups(engine, "/d/", "e1", "", KIND_OTHER, 0, "");
    AddToGroups(engine, "/d/", "e2", "", KIND_OTHER, 0, "");
    ASSERT_NE(three, nullptr);
    three->modifyTime = 17;
    ASSERT_EQ(engine.groups.size(), 3u);
    EXPECT_EQ(engine.groups[0].size, 0u);
    EXPECT_EQ(Names(engine.groups[0]), (std::vector<std::string>{"e1", "e2"}));
    EXPECT_EQ(Names(engine.groups[1]),
              (std::vector<std::string>{"two.txt", "three.txt", "one.txt"}));
    EXPECT_EQ(engine.groups[1].members[1].modifyTime, 17);
    EXPECT_EQ(engine.scanNumber.load(), 6);
    EXPECT_EQ(engine.duplicateNumber.load(), 2);
    EXPECT_EQ(CheckGroupInvariants(engine.groups, false), "");
    EXPECT_NE(CheckGroupInvariants(engine.groups, true), "");  // "two" and "big" have no twin

    engine.state.store(W_ABORT);
    EXPECT_EQ(AddToGroups(engine, "/d/", "late", "", KIND_OTHER, 5, "k"), nullptr);
}

TEST(SizeGroups, RemoveMatchesTheExactListedName) {
    SearchEngine engine;
    const auto lock = engine.LockGroups();
    AddToGroups(engine, "/d/", "photo.", "JPG", KIND_PICTURE, 10, "k");
    AddToGroups(engine, "/d/", "photo.", "jpg", KIND_PICTURE, 10, "k");
    FileRecord probe;
    probe.path = "/d/";
    probe.namenosuffix = "photo.";
    probe.suffix = "JPG";
    probe.size = 10;
    EXPECT_TRUE(RemoveFromGroups(engine, probe));
    ASSERT_EQ(engine.groups.size(), 1u);
    EXPECT_EQ(Names(engine.groups[0]), (std::vector<std::string>{"photo.jpg"}));
    EXPECT_FALSE(RemoveFromGroups(engine, probe));
    probe.suffix = "jpg";
    probe.size = 11;
    EXPECT_FALSE(RemoveFromGroups(engine, probe));
    probe.size = 10;
    EXPECT_TRUE(RemoveFromGroups(engine, probe));
    EXPECT_TRUE(engine.groups.empty());
    EXPECT_EQ(engine.duplicateNumber.load(), 1);
}

TEST(SizeGroups, InvariantCheckerFindsBrokenGroups) {
    auto record = [](FileLen size, const char* key) {
        FileRecord r;
        r.size = size;
        r.key = ContentKey::FromText(key);
        return r;
    };
    const std::vector<SizeGroup> unsorted = {{5, {record(5, "a"), record(5, "a")}},
                                             {4, {record(4, "a"), record(4, "a")}}};
    const std::vector<SizeGroup> keys_down = {{5, {record(5, "b"), record(5, "a")}}};
    const std::vector<SizeGroup> wrong_size = {{5, {record(5, "a"), record(6, "a")}}};
    const std::vector<SizeGroup> empty_group = {{5, {}}};
    for (const auto* groups : {&unsorted, &keys_down, &wrong_size, &empty_group}) {
        EXPECT_NE(CheckGroupInvariants(*groups, false), "");
    }
}

TEST(ResultRows, RowsSetNumbersAndMasks) {
    SearchEngine engine;
    {
        const auto lock = engine.LockGroups();
        AddToGroups(engine, "/p/", "a.", "jpg", KIND_PICTURE, 4294967296ULL, "k1");
        AddToGroups(engine, "/p/", "a.", "txt", KIND_DOCUMENT, 4294967296ULL, "k1");
        for (const char* name : {"x", "y"})
            AddToGroups(engine, "/q/", name, "", KIND_OTHER, 500, "bb");
        for (const char* name : {"u", "v", "w"})
            AddToGroups(engine, "/q/", name, "", KIND_OTHER, 500, "aa");
        engine.groups.front().members[0].createTime = 1;
        engine.groups.front().members[0].flags = FILE_FLAG_PROTECTED;
    }
    const ScriptValue all = BuildDuplicateRows(engine, KIND_ALL);
    ASSERT_EQ(all.Count(), 7u);
    std::vector<int32_t> sets;
    for (const ScriptValue& row : all.Elements()) sets.push_back(row.At(9).IntOr(-1));
    EXPECT_EQ(sets, (std::vector<int32_t>{1, 1, 1, 2, 2, 3, 3}));
    EXPECT_EQ(all.At(0).At(2), ScriptValue::Text("w"));  // found last, first among equals
    EXPECT_EQ(all.At(0).At(6), ScriptValue::Text("1"));
    EXPECT_EQ(all.At(0).At(11), ScriptValue::Int(FILE_FLAG_PROTECTED));
    EXPECT_EQ(
        all.At(5),
        ScriptValue::List({ScriptValue::Int(0), ScriptValue::Text("/p/"), ScriptValue::Text("a."),
                           ScriptValue::Text("txt"), ScriptValue::Text("4294967296"),
                           ScriptValue::Text("4294967296"), ScriptValue::Text(""),
                           ScriptValue::Text(""), ScriptValue::Text(""), ScriptValue::Int(3),
                           ScriptValue::Int(KIND_DOCUMENT), ScriptValue::Int(0),
                           ScriptValue::Text("0"), ScriptValue::Text("0"), ScriptValue::Int(0)}));
    const ScriptValue pictures = BuildDuplicateRows(engine, KIND_PICTURE);
    ASSERT_EQ(pictures.Count(), 1u);
    EXPECT_EQ(pictures.At(0).At(3), ScriptValue::Text("jpg"));
    EXPECT_EQ(pictures.At(0).At(9), ScriptValue::Int(1));
    EXPECT_TRUE(BuildDuplicateRows(engine, 0).IsUndefined());
    EXPECT_TRUE(BuildDuplicateRows(SearchEngine{}, KIND_ALL).IsUndefined());
}

// A set that a removal left with one member is no set: it is not delivered, and the
// sets after it are numbered without a gap.
TEST(ResultRows, ASetLeftWithOneMemberIsNotDelivered) {
    SearchEngine engine;
    const auto lock = engine.LockGroups();
    for (const char* name : {"a", "b"}) AddToGroups(engine, "/r/", name, "", KIND_OTHER, 10, "k1");
    for (const char* name : {"c", "d"}) AddToGroups(engine, "/r/", name, "", KIND_OTHER, 10, "k2");
    for (const char* name : {"e", "f"}) AddToGroups(engine, "/r/", name, "", KIND_OTHER, 20, "k3");
    FileRecord gone;
    gone.path = "/r/";
    gone.namenosuffix = "c";
    gone.size = 10;
    ASSERT_TRUE(RemoveFromGroups(engine, gone));
    std::vector<std::pair<std::string, int32_t>> seen;
    ForEachDeliveredMember(engine.groups, KIND_ALL, SIZE_MAX,
                           [&](const SizeGroup&, const FileRecord& m, int32_t set) {
                               seen.emplace_back(m.namenosuffix, set);
                           });
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int32_t>>{
                        {"b", 1}, {"a", 1}, {"f", 2}, {"e", 2}}));
}

TEST(ResultRows, AtMost10001GroupsAreDelivered) {
    SearchEngine engine;
    {
        const auto lock = engine.LockGroups();
        for (FileLen size = 1; size <= 10002; ++size) {
            engine.groups.push_back(SizeGroup{size, {}});
            for (const char* name : {"a", "b"}) {
                FileRecord record;
                record.namenosuffix = name;
                record.size = size;
                record.kind = KIND_OTHER;
                engine.groups.back().members.push_back(record);
            }
        }
    }
    const ScriptValue rows = BuildDuplicateRows(engine, KIND_ALL);
    ASSERT_EQ(rows.Count(), 20002u);
    EXPECT_EQ(rows.At(20001).At(4), ScriptValue::Text("10001"));
}

// Deliveries run on threads of their own but reach the page in the order asked for,
// so a page that switches kinds quickly ends with the rows of the last kind.
TEST(ResultRows, GetDuplicateFilesDeliversOnItsOwnThreadInRequestOrder) {
    testing::RecordingBridge bridge;  // outlives the engine, which joins its delivery threads
    SearchEngine engine;
    {
        const auto lock = engine.LockGroups();
        for (const char* name : {"x", "y"})
            AddToGroups(engine, "/q/", name, "", KIND_OTHER, 5, "k");
    }
    constexpr size_t kRequests = 40;
    for (size_t i = 0; i < kRequests; ++i) {
        // A mask that is not an integer reads as 0: no row, the undefined value.
        const ScriptValue mask = i % 2 == 0 ? ScriptValue::Int(KIND_ALL) : ScriptValue::Text("63");
        EXPECT_EQ(GetDuplicateFiles(engine, bridge, mask), ScriptValue::Int(0));
    }
    const auto calls = bridge.WaitForCalls(kRequests);
    ASSERT_EQ(calls.size(), kRequests);
    for (size_t i = 0; i < kRequests; ++i) {
        EXPECT_EQ(calls[i].first, "DuplicateFileToUI");
        EXPECT_EQ(calls[i].second.IsUndefined(), i % 2 == 1) << i;
        EXPECT_EQ(calls[i].second.Count(), i % 2 == 0 ? 2u : 0u) << i;
    }
}

}  // namespace
}  // namespace merravine

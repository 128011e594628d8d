// Tests of the update folder clean-up against the in-memory platform: which entries go, in
// which order, and that only names of the areas inside the folder are ever deleted.
#include "update_cleanup.h"

#include "fake_platform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string UPD = "\\QUARRINE\\UPDATES\\";
// Paths handed to the platform for deletion, in order; a deletion that does not ask for the
// file to be empty when it goes is marked, as the search's size may be out of date.
std::vector<std::string> removed;
bool (*real_remove)(const char*, bool) = nullptr;

bool recording_remove(const char* path, bool only_empty) {
    removed.emplace_back(only_empty ? path : "unconditional " + std::string(path));
    return real_remove(path, only_empty);
}

struct Recorder {
    FakePlatform fake;
    Recorder() {
        removed.clear();
        real_remove = plat.remove;
        plat.remove = recording_remove;
    }
};

TEST(DeleteZeroFiles, DeletesEmptyAreaFilesInAreaOrder) {
    Recorder r;
    auto& files = r.fake.world.files;
    files = {{UPD + "a.cot", ""},  {UPD + "b.Idx", ""},       {UPD + "c.CLC", ""},
             {UPD + "d.CLC", "1"}, {UPD + "e.TXT", ""},       {UPD + "ro.IDX", ""},
             {UPD + "z.IDX", ""},  {"\\QUARRINE\\f.CLC", ""}, {UPD + "SUB\\g.CLC", ""}};
    r.fake.world.read_only = {UPD + "ro.IDX"};
    r.fake.world.folders = {UPD + "SUB.COT"};
    EXPECT_EQ(delete_zero_files(), 0);
    // The refused deletion of ro.IDX does not stop z.IDX; the sub-folder is tried and stays.
    EXPECT_EQ(removed, (std::vector<std::string>{UPD + "c.CLC", UPD + "b.Idx", UPD + "ro.IDX",
                                                 UPD + "z.IDX", UPD + "a.cot", UPD + "SUB.COT"}));
    std::map<std::string, std::string> kept = {{UPD + "d.CLC", "1"},
                                               {UPD + "e.TXT", ""},
                                               {UPD + "ro.IDX", ""},
                                               {"\\QUARRINE\\f.CLC", ""},
                                               {UPD + "SUB\\g.CLC", ""}};
    EXPECT_EQ(files, kept);
    EXPECT_EQ(r.fake.world.console, "");
}

TEST(DeleteZeroFiles, MissingFolderIsHarmless) {
    Recorder r;
    r.fake.world.files = {{"\\QUARRINE\\EMPTY.CLC", ""}};
    EXPECT_EQ(delete_zero_files(), 0);
    EXPECT_TRUE(removed.empty());
    EXPECT_EQ(r.fake.world.files.size(), 1u);
}

// A search that yields the same entries for every pattern, as a platform whose wildcard
// matching is looser than the stage's rule might.
const std::vector<FindEntry>* loose_entries = nullptr;
std::size_t loose_next = 0;
bool loose_find_next(PlatFind*, FindEntry* entry) {
    if (loose_next == loose_entries->size())
        return false;
    *entry = (*loose_entries)[loose_next++];
    return true;
}
PlatFind* loose_find_first(const char*, FindEntry* entry) {
    loose_next = 0;
    return loose_find_next(nullptr, entry) ? reinterpret_cast<PlatFind*>(&loose_next) : nullptr;
}
void loose_find_close(PlatFind*) {}

TEST(DeleteZeroFiles, DeletesOnlyNamesEndingInDotAndTheAreaExtension) {
    std::vector<FindEntry> entries;
    auto add = [&](const std::string& name, unsigned long long size) {
        FindEntry e{};
        name.copy(e.name, FIND_NAME_MAX);
        e.size = size;
        entries.push_back(e);
    };
    std::string longest = std::string(FIND_NAME_MAX - 5, 'n') + ".CLC";
    for (const char* name :
         {"d.CLCX", "CLC", "xCLC", "..\\up.CLC", "sub/x.CLC", "ok.clc", "", "ok.IdX", "x.COTT"})
        add(name, 0);
    add("big.COT", 1);
    add(longest, 0);
    add(std::string(FIND_NAME_MAX, 'u'), 0); // no string end: not a name
    loose_entries = &entries;
    Recorder r;
    plat.find_first = loose_find_first;
    plat.find_next = loose_find_next;
    plat.find_close = loose_find_close;
    delete_zero_files();
    EXPECT_EQ(removed, (std::vector<std::string>{UPD + "ok.clc", UPD + longest, UPD + "ok.IdX"}));
}

} // namespace

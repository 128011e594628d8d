// What a real Windows does that Wine does not, as rows: each names the page or source it rests
// on, makes the Windows platform's swapped system calls answer that way, and states the outcome
// that the platform call or the stage must then have. Time runs on a clock of the test's own,
// which a wait moves on, so that a row that waits the whole 5 seconds takes none of them.
#include "abort.h"
#include "append_lock_cases.h"
#include "platform.h"
#include "platform_windows.h"
#include "read_error_cases.h"
#include "text_reader.h"

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The calls a row can make answer otherwise.
enum class Call {
    open,        // CreateFileA asking for more than to read attributes
    look,        // CreateFileA asking only to read attributes
    open_marked, // CreateFileA of any kind, once a deletion mark was set on the file
    read,        // ReadFile of a handle opened on the file
    rename,      // MoveFileExA onto the file
    posix_mark,  // SetFileInformationByHandle with the POSIX-semantics deletion mark
    attributes,  // GetFileAttributesA
    attrib,      // the ATTRIB command run on the file
    volume,      // GetVolumeInformationByHandleW of a handle opened on the file: FAT32 it says
};

constexpr DWORD ALWAYS = ~DWORD{0};
// ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, which this SDK's header does not have.
constexpr DWORD CLOUD_PROVIDER_NOT_RUNNING = 362;

// The call on paths ending in name fails with error (a mark with ERROR_SUCCESS is taken: the
// older mark is set in its place, and the name goes as the older mark lets it), once `after`
// such calls have gone through, for as long as the test's clock is before until_ms.
struct Answer {
    Call call;
    DWORD error;
    DWORD until_ms = ALWAYS;
    unsigned after = 0;
    const char* name = "in.txt";
};

// probe: what the run check sees of the file, as the flags of its path state that are set.
enum class Action { read, append, write, remove, replace, batch, make_writable, probe };
enum class Setup { file, none, hidden, hidden_read_only, batch };

struct Row {
    const char* behaviour; // what real Windows does, and [the page or source that says so]
    Setup setup;
    Action action;
    const char* outcome; // what the platform must give, and whether it waited
    std::vector<Answer> answers;
};

// One row is its text, then its setup, action, outcome and answers.
// clang-format off
const Row ROWS[] = {
    {"A read that fails is an error, never the end of the file: a Files On-Demand folder whose "
     "provider is not running yet opens, and its first read fails [ReadFile; Testing for the End "
     "of a File (learn.microsoft.com)]",
     Setup::file, Action::read, "unopenable at once", {{Call::read, CLOUD_PROVIDER_NOT_RUNNING}}},
    {"A network drive dropped in mid-read fails the read after others went through [ReadFile; "
     "System Error Codes: ERROR_NETNAME_DELETED (learn.microsoft.com)]",
     Setup::file, Action::read, "read 10000, then failed at once",
     {{Call::read, ERROR_NETNAME_DELETED, ALWAYS, 1}}},
    {"Bytes that another program has locked refuse the read until it lets go [ReadFile remarks; "
     "LockFileEx (learn.microsoft.com)]",
     Setup::file, Action::read, "read 10000 after a wait",
     {{Call::read, ERROR_LOCK_VIOLATION, 300}}},
    {"Windows 10 1607 and Server 2016 answer the POSIX-semantics mark with "
     "ERROR_INVALID_FUNCTION; the older mark deletes [microsoft/STL stl/src/filesystem.cpp "
     "(__std_fs_remove); rust-lang/rust library/std/src/sys/pal/windows/fs.rs]",
     Setup::file, Action::remove, "removed by the older mark at once",
     {{Call::posix_mark, ERROR_INVALID_FUNCTION}}},
    {"FAT and exFAT refuse a rename over a file that any program has open, even only to read its "
     "attributes, and a deletion it marks stays pending while that handle is open "
     "[Windows-driver-samples filesys/fastfat/fileinfo.c (FatSetRenameInfo)]",
     Setup::batch, Action::batch, "the four lines at once",
     {{Call::rename, ERROR_ACCESS_DENIED, ALWAYS, 0, "merge.bat"},
      {Call::posix_mark, ERROR_INVALID_PARAMETER, ALWAYS, 0, "merge.bat"},
      {Call::open_marked, ERROR_ACCESS_DENIED, ALWAYS, 0, "merge.bat"}}},
    {"A folder that refuses the user new files refuses the create with access denied, and nothing "
     "is at the name [CreateFileA; File Security and Access Rights (learn.microsoft.com)]",
     Setup::none, Action::append, "unopenable at once", {{Call::open, ERROR_ACCESS_DENIED}}},
    {"A file whose access list refuses the user refuses its opens, not the look at its attributes "
     "[File Security and Access Rights; FILE_READ_ATTRIBUTES granted by the folder's "
     "FILE_LIST_DIRECTORY (learn.microsoft.com)]",
     Setup::file, Action::append, "unopenable at once", {{Call::open, ERROR_ACCESS_DENIED}}},
    {"CREATE_ALWAYS fails with ERROR_ACCESS_DENIED if the file exists and has the "
     "FILE_ATTRIBUTE_HIDDEN or FILE_ATTRIBUTE_SYSTEM attribute [CreateFileA, "
     "dwCreationDisposition (learn.microsoft.com)]",
     Setup::hidden, Action::write, "unopenable at once", {{Call::open, ERROR_ACCESS_DENIED}}},
    {"ATTRIB does not clear the read-only mark of a hidden or system file [attrib "
     "(learn.microsoft.com, Windows Commands)]",
     Setup::hidden_read_only, Action::make_writable, "mark cleared, hidden kept at once",
     {{Call::attrib, ERROR_ACCESS_DENIED}}},
    {"The POSIX-semantics mark is taken: the name goes at once, while an attributes-only handle "
     "of another program stays open [FILE_DISPOSITION_INFORMATION_EX (learn.microsoft.com); "
     "Windows 10 1709 and later on NTFS]",
     Setup::file, Action::remove, "removed by the POSIX mark at once",
     {{Call::posix_mark, ERROR_SUCCESS}}},
    {"The run check foresees a lasting denial: a file whose access list refuses the user [File "
     "Security and Access Rights (learn.microsoft.com)]",
     Setup::file, Action::probe, "exists file create at once", {{Call::open, ERROR_ACCESS_DENIED}}},
    {"The run check foresees a folder that refuses the user new files: an open of the folder that "
     "asks for FILE_ADD_FILE is refused [File Access Rights Constants, FILE_ADD_FILE "
     "(learn.microsoft.com)]",
     Setup::none, Action::probe, "at once",
     {{Call::open, ERROR_ACCESS_DENIED, ALWAYS, 0, "zelmorth-doc"}}},
    {"The run check foresees a batch on FAT, which is replaced only while no program has it open, "
     "and a hidden file, which CREATE_ALWAYS refuses [GetVolumeInformationByHandleW; CreateFileA "
     "(learn.microsoft.com); fastfat fileinfo.c]",
     Setup::hidden, Action::probe,
     "exists file write create delete overwrite-refused renames-only-unopened at once",
     {{Call::volume, ERROR_SUCCESS}}},
    {"A deletion still pending refuses every open of its name, even a look at its attributes, "
     "with access denied until the last handle is closed [DeleteFileA remarks "
     "(learn.microsoft.com)]",
     Setup::file, Action::append, "opened after a wait",
     {{Call::open, ERROR_ACCESS_DENIED, 300},
      {Call::look, ERROR_ACCESS_DENIED, 300},
      {Call::attributes, ERROR_ACCESS_DENIED, 300}}},
    {"NTFS refuses a rename over a file that another program has open, which the deletion's "
     "exclusive open meets as a sharing violation [MoveFileExA; Creating and Opening Files, "
     "sharing modes (learn.microsoft.com)]",
     Setup::file, Action::replace, "replaced after a wait",
     {{Call::rename, ERROR_ACCESS_DENIED, 300}, {Call::open, ERROR_SHARING_VIOLATION, 300}}},
};
// clang-format on

// The swapped calls: the row in force, the test's clock, the files of the handles, and the
// names that have had a deletion mark set.
const Row* row_now = nullptr;
ULONGLONG clock_ms = 0;
std::map<HANDLE, std::string> handle_names;
std::vector<std::string> marked;
std::map<const Answer*, unsigned> passed; // calls let through, per answer
std::string mark_taken;                   // which mark deleted the file: "POSIX" or "older"

bool ends_with(const std::string& s, const char* name) {
    std::string n = name;
    return s.size() >= n.size() && _stricmp(s.c_str() + s.size() - n.size(), n.c_str()) == 0;
}

bool was_marked(const std::string& path) {
    for (const std::string& m : marked)
        if (_stricmp(m.c_str(), path.c_str()) == 0)
            return true;
    return false;
}

// The answer of the row for a call on path, or nullptr when the call goes to the system.
const Answer* answer_for(Call call, const std::string& path) {
    if (row_now == nullptr)
        return nullptr;
    for (const Answer& a : row_now->answers) {
        if (a.call != call || !ends_with(path, a.name) || clock_ms >= a.until_ms)
            continue;
        if (passed[&a] < a.after) {
            ++passed[&a];
            return nullptr;
        }
        return &a;
    }
    return nullptr;
}

// Fails a call as the answer says: its error, and what the call gives when it fails.
template <typename T> T refuse(const Answer* a, T failed) {
    SetLastError(a->error);
    return failed;
}

HANDLE WINAPI fake_create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE tmpl) {
    Call kind = access == FILE_READ_ATTRIBUTES ? Call::look : Call::open;
    const Answer* a = answer_for(kind, path);
    if (a == nullptr && was_marked(path))
        a = answer_for(Call::open_marked, path);
    if (a != nullptr)
        return refuse(a, INVALID_HANDLE_VALUE);
    HANDLE h = native_win_calls.create_file(path, access, share, sa, disposition, flags, tmpl);
    if (h != INVALID_HANDLE_VALUE)
        handle_names[h] = path;
    return h;
}

BOOL WINAPI fake_read_file(HANDLE h, LPVOID buf, DWORD want, LPDWORD got, LPOVERLAPPED at) {
    const Answer* a = answer_for(Call::read, handle_names[h]);
    return a != nullptr ? refuse(a, FALSE) : native_win_calls.read_file(h, buf, want, got, at);
}

BOOL WINAPI fake_move_file_ex(LPCSTR from, LPCSTR to, DWORD flags) {
    const Answer* a = answer_for(Call::rename, to);
    return a != nullptr ? refuse(a, FALSE) : native_win_calls.move_file_ex(from, to, flags);
}

// A POSIX-semantics mark that a row has taken sets the older mark in its place, which Wine
// takes; one that no row answers goes to the system. A mark that is set is noted.
BOOL WINAPI fake_set_information(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                 DWORD size) {
    const std::string path = handle_names[h];
    bool posix = kind == static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO gone{TRUE};
    if (const Answer* a = posix ? answer_for(Call::posix_mark, path) : nullptr) {
        if (a->error != ERROR_SUCCESS)
            return refuse(a, FALSE);
        kind = FileDispositionInfo;
        info = &gone;
        size = sizeof gone;
    }
    BOOL ok = native_win_calls.set_file_information_by_handle(h, kind, info, size);
    if (ok && kind == FileDispositionInfo) {
        marked.push_back(path);
        mark_taken = posix ? "POSIX" : "older";
    }
    return ok;
}

DWORD WINAPI fake_get_file_attributes(LPCSTR path) {
    const Answer* a = answer_for(Call::attributes, path);
    return a != nullptr ? refuse(a, INVALID_FILE_ATTRIBUTES)
                        : native_win_calls.get_file_attributes(path);
}

int fake_command(const char* command) {
    if (answer_for(Call::attrib, command) != nullptr)
        return 1; // "Not resetting hidden file", nothing changed
    return native_win_calls.command(command);
}

BOOL WINAPI fake_volume(HANDLE h, LPWSTR volume, DWORD volume_size, LPDWORD serial, LPDWORD length,
                        LPDWORD flags, LPWSTR file_system, DWORD size) {
    if (answer_for(Call::volume, handle_names[h]) != nullptr && size > 5) {
        std::wcscpy(file_system, L"FAT32");
        return TRUE;
    }
    return native_win_calls.get_volume_information_by_handle(h, volume, volume_size, serial, length,
                                                             flags, file_system, size);
}

ULONGLONG WINAPI fake_tick_count() {
    return clock_ms;
}

void WINAPI fake_sleep(DWORD ms) {
    clock_ms += ms;
}

class DocumentedBehaviour : public ::testing::Test {
  protected:
    fs::path dir;    // the row's files
    fs::path batch;  // where the program's \QUARRINE\merge.bat lies: on this folder's drive
    fs::path before; // the working directory before

    void SetUp() override {
        dir = fs::temp_directory_path() / "zelmorth-doc";
        char windows[MAX_PATH];
        UINT len = GetWindowsDirectoryA(windows, sizeof windows);
        ASSERT_TRUE(len > 0 && len < sizeof windows);
        ASSERT_EQ(dir.root_path(), fs::path(windows).root_path()) << "not the system's drive";
        fs::remove_all(dir);
        fs::create_directories(dir);
        before = fs::current_path();
        fs::current_path(dir);
        // The program's root-relative paths lie on the working directory's drive, which for
        // these tests is the Wine prefix's own C: drive: its install folder is made for them.
        batch = dir.root_path() / "QUARRINE" / "merge.bat";
        ASSERT_FALSE(fs::exists(batch.parent_path())) << "an install folder is there already";
        fs::create_directories(batch.parent_path());
        win.create_file = fake_create_file;
        win.read_file = fake_read_file;
        win.move_file_ex = fake_move_file_ex;
        win.set_file_information_by_handle = fake_set_information;
        win.get_file_attributes = fake_get_file_attributes;
        win.command = fake_command;
        win.get_volume_information_by_handle = fake_volume;
        win.get_tick_count64 = fake_tick_count;
        win.sleep = fake_sleep;
    }
    void TearDown() override {
        win = native_win_calls;
        fs::current_path(before);
        for (const fs::path& p : {dir, batch.parent_path()}) {
            std::error_code ec;
            for (const auto& e : fs::recursive_directory_iterator(p, ec))
                SetFileAttributesA(e.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
            fs::remove_all(p, ec);
        }
    }

    void lay(const Row& row) const {
        std::string text;
        for (int i = 0; i < 1000; ++i)
            text += "123456789\n";
        fs::path file = dir / "in.txt";
        if (row.setup == Setup::batch)
            std::ofstream(batch, std::ios::binary) << "@ECHO OFF\r\nREM an older batch\r\n";
        else if (row.setup != Setup::none)
            std::ofstream(file, std::ios::binary) << text;
        DWORD attributes = row.setup == Setup::hidden ? FILE_ATTRIBUTE_HIDDEN
                           : row.setup == Setup::hidden_read_only
                               ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY
                               : 0;
        if (attributes != 0) {
            ASSERT_TRUE(SetFileAttributesA(file.string().c_str(), attributes));
        }
    }

    // What the row's action gives, with whether the test's clock moved.
    std::string act(const Row& row) const {
        std::string in = (dir / "in.txt").string();
        std::string result;
        switch (row.action) {
        case Action::read: {
            static TextReader reader;
            if (!text_open(reader, in.c_str())) {
                result = "unopenable";
                break;
            }
            std::size_t total = 0;
            char piece[200];
            while (std::size_t n = text_read(reader, piece, sizeof piece - 1))
                total += n;
            result = "read " + std::to_string(total) + (reader.failed ? ", then failed" : "");
            text_close(reader);
            break;
        }
        case Action::append:
        case Action::write: {
            PlatFile* f = plat_open(in.c_str(), row.action == Action::write ? OpenMode::write
                                                                            : OpenMode::append);
            result = f != nullptr && plat_close(f) ? "opened" : "unopenable";
            break;
        }
        case Action::remove:
            result = plat_remove(in.c_str()) ? "removed by the " + mark_taken + " mark" : "kept";
            break;
        case Action::replace: {
            PlatFile* f = plat_open(in.c_str(), OpenMode::replace);
            bool ok = f != nullptr && plat_write_text(f, "new\n");
            ok = f != nullptr && plat_close(f) && ok;
            result = ok && append_lock_cases::text_of(in) == "new\n" ? "replaced" : "kept";
            break;
        }
        case Action::batch: {
            create_merge();
            std::string text = append_lock_cases::text_of(MERGE_BATCH);
            result = text.rfind("@ECHO OFF\nSTART TELVOX /M\n", 0) == 0 ? "the four lines"
                                                                        : "batch: " + text;
            break;
        }
        case Action::make_writable: {
            plat_make_writable(in.c_str());
            DWORD a = GetFileAttributesA(in.c_str());
            result =
                std::string((a & FILE_ATTRIBUTE_READONLY) != 0 ? "mark kept" : "mark cleared") +
                ((a & FILE_ATTRIBUTE_HIDDEN) != 0 ? ", hidden kept" : ", hidden lost");
            break;
        }
        case Action::probe: {
            PathState st = native_probe(in.c_str(), false);
            std::pair<bool, const char*> flags[] = {
                {st.exists, "exists"},
                {st.file, "file"},
                {st.can_write, "write"},
                {st.can_create, "create"},
                {st.can_delete, "delete"},
                {st.overwrite_refused, "overwrite-refused"},
                {st.renames_only_unopened, "renames-only-unopened"},
            };
            for (const auto& [set, name] : flags)
                result += set ? std::string(result.empty() ? "" : " ") + name : "";
            break;
        }
        }
        if (clock_ms == 0)
            return result + (result.empty() ? "" : " ") + "at once";
        return result + (clock_ms < HELD_FILE_WAIT_MS ? " after a wait" : " after the whole wait");
    }
};

TEST_F(DocumentedBehaviour, EachRowAsWindowsAnswers) {
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.behaviour);
        row_now = &row;
        clock_ms = 0;
        handle_names.clear();
        marked.clear();
        passed.clear();
        mark_taken.clear();
        lay(row);
        EXPECT_EQ(act(row), row.outcome);
        std::error_code ec;
        SetFileAttributesA((dir / "in.txt").string().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove(dir / "in.txt", ec);
        fs::remove(batch, ec);
    }
    row_now = nullptr;
}

// The readers over a failed read of the system's own ReadFile, as on the POSIX build.
TEST_F(DocumentedBehaviour, EveryReaderMeetsAFailedRead) {
    read_error_cases::every_reader(batch.parent_path());
}

} // namespace

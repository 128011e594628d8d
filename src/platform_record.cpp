// platform_record.cpp - the recording platform behind zelmorth-check. Reads go to the native
// platform; deletions, writes, the read-only mark, started programs and the end of the process
// become report lines. Whether a write or deletion would succeed is judged by looking at the
// file, so the report follows the same path through the stages as the real run.
#include "platform_record.h"

#include "platform.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

constexpr char INSTALL_FOLDER[] = "\\QUARRINE\\";
constexpr unsigned long long SHOWN_LINES = 20;  // lines of a written text shown in the report
constexpr unsigned long long SHOWN_CHARS = 160; // characters shown of each of those lines
constexpr std::size_t CONSOLE_LINE_MAX = 4096;  // characters kept of one console line

// An open file: one opened for reading, or a write that is only counted and sampled.
struct RecordFile {
    PlatFile* real = nullptr; // the native file read from; nullptr for a write
    std::string path;         // the program's own name for the file
    bool replace = false;     // written from empty rather than appended to
    unsigned long long bytes = 0;
    unsigned long long newlines = 0;
    unsigned long long line_chars = 0; // characters of the line being written
    bool line_open = false;            // a line has begun and has no newline yet
    std::string shown;                 // the report's lines for the first SHOWN_LINES lines
    RecordFile* next = nullptr;
};

bool folder_given = false;
RecordFinish finish_run = nullptr;
std::string effects;
std::string console_line;         // console text since the last newline
RecordFile* open_files = nullptr; // every file the stages have open
std::set<std::string> gone;       // names the run deletes
std::set<std::string> made;       // names the run writes, so they exist afterwards
std::set<std::string> cleared;    // names whose read-only mark the run clears
std::string held_notes; // a note for each file another program holds, and each batch on FAT
bool ran_command = false;

unsigned long long add_saturating(unsigned long long a, unsigned long long b) {
    return a > ULLONG_MAX - b ? ULLONG_MAX : a + b;
}

bool listed(const std::set<std::string>& names, const std::string& name) {
    return names.count(name) != 0;
}

// The name handed to the native platform: with a folder given, the install folder's files are
// taken relative to the working directory, which is that folder.
const char* real_name(const char* name) {
    std::size_t prefix = sizeof INSTALL_FOLDER - 1;
    if (folder_given && std::strncmp(name, INSTALL_FOLDER, prefix) == 0)
        return name + prefix;
    return name;
}

PathState state_of(const std::string& name) {
    return native_probe(real_name(name.c_str()), listed(cleared, name));
}

// Whether a file would stand at the name at this point of the run.
bool file_now(const std::string& name) {
    return listed(made, name) || (!listed(gone, name) && state_of(name).file);
}

// Text for one report line: control characters other than the tab are shown as \xNN, so that
// no byte of a file reaches the terminal as a control code.
void append_shown(std::string& out, char c) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
        out += c;
        return;
    }
    const char* hex = "0123456789ABCDEF";
    out += "\\x";
    out += hex[byte >> 4];
    out += hex[byte & 0xF];
}

// A name for a report line: a file name may hold control characters too.
std::string shown_name(const std::string& name) {
    std::string out;
    for (char c : name)
        append_shown(out, c);
    return out;
}

bool blank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// A console line is complete at its newline, or when the run does something else.
void end_console_line() {
    if (!blank(console_line)) {
        effects += "console ";
        for (char c : console_line)
            append_shown(effects, c);
        effects += '\n';
    }
    console_line.clear();
}

void add_effect(const std::string& line) {
    end_console_line();
    effects += line;
    effects += '\n';
}

void end_shown_line(RecordFile& f) {
    if (f.line_chars > SHOWN_CHARS)
        f.shown += " [+" + std::to_string(f.line_chars - SHOWN_CHARS) + " characters]";
    f.shown += '\n';
}

// Counts what a stage writes and keeps the first lines for the report; past them only the
// line ends are counted.
void take_text(RecordFile& f, const char* data, std::size_t len) {
    f.bytes = add_saturating(f.bytes, len);
    std::size_t i = 0;
    for (; i < len && f.newlines < SHOWN_LINES; ++i) {
        char c = data[i];
        if (!f.line_open) {
            f.shown += "    |";
            f.line_open = true;
            f.line_chars = 0;
        }
        if (c == '\n') {
            end_shown_line(f);
            f.newlines += 1;
            f.line_open = false;
            continue;
        }
        if (f.line_chars == 0)
            f.shown += ' ';
        if (f.line_chars < SHOWN_CHARS)
            append_shown(f.shown, c);
        f.line_chars = add_saturating(f.line_chars, 1);
    }
    if (i < len) {
        auto count = static_cast<unsigned long long>(std::count(data + i, data + len, '\n'));
        f.newlines = add_saturating(f.newlines, count);
        f.line_open = data[len - 1] != '\n';
    }
}

void record_written(RecordFile& f) {
    if (f.line_open && f.newlines < SHOWN_LINES)
        end_shown_line(f);
    unsigned long long lines = add_saturating(f.newlines, f.line_open ? 1 : 0);
    std::string line = (f.replace ? "write " : "append ") + shown_name(f.path) + " " +
                       std::to_string(f.bytes) + " bytes\n" + f.shown;
    if (lines > SHOWN_LINES)
        line += "    + " + std::to_string(lines - SHOWN_LINES) + " more lines\n";
    line.pop_back();
    add_effect(line);
}

// Closes a file: a read one natively, a written one into the report.
bool close_file(RecordFile* f) {
    if (f == nullptr)
        return false;
    for (RecordFile** link = &open_files; *link != nullptr; link = &(*link)->next) {
        if (*link == f) {
            *link = f->next;
            break;
        }
    }
    bool ok = true;
    if (f->real != nullptr)
        ok = native_platform.close(f->real);
    else
        record_written(*f);
    delete f;
    return ok;
}

void note_once(const std::string& note) {
    if (held_notes.find(note) == std::string::npos)
        held_notes += note;
}

// A file that another program holds against the run's open now would keep the run waiting, and
// the run goes on as if the open failed when the hold lasts; the report foresees that. Only the
// file as it stands is asked about, not one the run has deleted or written.
bool held_now(const std::string& name, OpenMode mode) {
    if (listed(made, name) || listed(gone, name) || !native_held(real_name(name.c_str()), mode))
        return false;
    note_once("note " + shown_name(name) + " is held open by another program; a run waits up " +
              "to " + std::to_string(HELD_FILE_WAIT_MS / 1000) +
              " seconds for it, then goes on as below\n");
    return true;
}

// Where the run would end: the files still open are closed as the end of the process would
// close them, the last line is added, and the report goes out.
[[noreturn]] void end_run(const std::string& last_line, const RunEnd& end) {
    while (open_files != nullptr)
        close_file(open_files);
    add_effect(last_line);
    finish_run(held_notes, effects, end);
    std::abort(); // the finish ends the process
}

PlatFile* record_open(const char* path, OpenMode mode) {
    if (held_now(path, mode))
        return nullptr;
    auto* f = new RecordFile;
    f->path = path;
    if (mode == OpenMode::read) {
        f->real = native_platform.open(real_name(path), mode);
        if (f->real == nullptr) {
            delete f;
            return nullptr;
        }
    } else {
        // A file the run has deleted is judged as a new one in its folder. A replacement is a
        // new file in the folder that then takes the place of what is there, as a deletion would.
        PathState state = state_of(f->path);
        bool opens = state.can_write && !(mode == OpenMode::write && state.overwrite_refused);
        if (mode == OpenMode::replace) {
            opens = state.can_create && (!state.exists || state.can_delete);
            if (opens && state.renames_only_unopened && !listed(gone, f->path))
                note_once("note " + shown_name(f->path) +
                          " is on a FAT drive, where a run replaces it only while no other "
                          "program has it open, even just to look at it; else it writes it in "
                          "place\n");
        }
        if (listed(gone, f->path))
            opens = state.can_create;
        if (!opens && !listed(made, f->path)) {
            delete f;
            return nullptr;
        }
        f->replace = mode != OpenMode::append;
        made.insert(f->path);
        gone.erase(f->path);
    }
    f->next = open_files;
    open_files = f;
    return reinterpret_cast<PlatFile*>(f);
}

std::size_t record_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<RecordFile*>(file);
    return f->real != nullptr ? native_platform.read(f->real, buf, cap) : 0;
}

bool record_write(PlatFile* file, const char* data, std::size_t len) {
    auto* f = reinterpret_cast<RecordFile*>(file);
    if (f->real != nullptr)
        return false; // opened for reading
    take_text(*f, data, len);
    return true;
}

bool record_close(PlatFile* file) {
    return close_file(reinterpret_cast<RecordFile*>(file));
}

// Only a deletion that would happen is reported: the file is there, may be removed and, where
// that is asked for, is empty now.
bool record_remove(const char* path, bool only_empty) {
    std::string name = path;
    PathState state = listed(made, name) || listed(gone, name) ? PathState{} : state_of(name);
    bool there = listed(made, name) || (state.can_delete && (!only_empty || state.empty));
    if (!there)
        return false;
    add_effect("delete " + shown_name(name));
    made.erase(name);
    gone.insert(name);
    return true;
}

// Reported only where there is a mark to clear.
void record_make_writable(const char* path) {
    std::string name = path;
    if (listed(made, name) || listed(gone, name) || listed(cleared, name))
        return;
    PathState state = state_of(name);
    if (!state.file || !state.marked)
        return;
    add_effect("writable " + shown_name(name));
    cleared.insert(name);
}

// Whether the run would find the file holding the text. A file the run has deleted is not there,
// and none compares a file it has written itself. One that another program holds is read only
// after the run's wait, and counts as different when the hold lasts.
bool record_holds_text(const char* path, const char* text) {
    std::string name = path;
    if (listed(made, name) || listed(gone, name) || held_now(name, OpenMode::read))
        return false;
    return native_platform.holds_text(real_name(path), text);
}

PlatFind* record_find_first(const char* pattern, FindEntry* entry) {
    return native_platform.find_first(real_name(pattern), entry);
}

bool record_find_next(PlatFind* search, FindEntry* entry) {
    return native_platform.find_next(search, entry);
}

void record_find_close(PlatFind* search) {
    native_platform.find_close(search);
}

void record_today(char out[9]) {
    native_platform.today(out);
}

int record_run_command(const char* command) {
    add_effect("run " + shown_name(command));
    ran_command = true;
    return 0;
}

// The batch starts when a file stands at its name; then the process would be the batch.
void record_overlay(const char* path) {
    std::string line = "hand-over " + shown_name(path);
    if (file_now(path))
        end_run(line, RunEnd{true, 0, ran_command});
    add_effect(line);
}

void record_console_write(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text == '\n')
            end_console_line();
        else if (console_line.size() < CONSOLE_LINE_MAX)
            console_line += *text;
    }
}

void record_console_flush() {}

void record_exit(int status) {
    end_run("exit " + std::to_string(status), RunEnd{false, status, ran_command});
}

constexpr PlatformOps RECORD_OPS = {
    record_open,      record_read,          record_write,         record_close,
    record_remove,    record_make_writable, record_holds_text,    record_find_first,
    record_find_next, record_find_close,    record_today,         record_run_command,
    record_overlay,   record_console_write, record_console_flush, record_exit,
};

} // namespace

void record_start(bool folder, RecordFinish finish) {
    folder_given = folder;
    finish_run = finish;
    plat = RECORD_OPS;
}

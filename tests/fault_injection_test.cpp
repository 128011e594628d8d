// Fault injection through the platform layer: a whole run is made once, counting its platform
// calls, then made again failing call k, for every k, once as a passing fault (only call k
// fails) and once as a lasting one (call k and every later call of its kind fail). After each
// run the outcome must be one the failure table allows, and nothing may be lost: the notice
// file only grows, every file the program only reads stays byte for byte, non-empty update
// files stay, nothing appears outside the install folder and the working directory, and a
// merge batch is never left cut short.
#include "abort.h"
#include "fake_platform.h"
#include "holidays_file.h"
#include "logweb_check.h"
#include "notices.h"
#include "program_state.h"
#include "settings_file.h"
#include "system_msg.h"
#include "tables_file.h"
#include "zelmorth.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

enum class Kind {
    open_read,
    open_append,
    open_write,
    read,
    write,
    close,
    remove,
    make_writable,
    holds_text,
    find_first,
    find_next,
    run_command,
    overlay,
};

constexpr const char* KIND_NAMES[] = {
    "open-read",     "open-append", "open-write", "read",      "write",       "close",  "remove",
    "make-writable", "holds-text",  "find-first", "find-next", "run-command", "overlay"};

struct Call {
    Kind kind;
    std::string path; // the file or pattern concerned; empty for a command
};

// Wraps the platform in force (the in-memory double) and fails the calls it is told to.
struct Injector {
    long fail_at = -1; // the index of the call to fail; -1 for none
    bool lasting = false;
    std::string read_only_prefix; // non-empty: a folder where nothing can be written or deleted
    std::vector<Call> calls;
    bool fired = false;
    Kind fired_kind = Kind::open_read;
    std::map<PlatFile*, std::string> open_paths;

    // Counts the call and tells whether it is to fail.
    bool fails(Kind kind, const std::string& path) {
        long index = static_cast<long>(calls.size());
        calls.push_back({kind, path});
        if (index == fail_at) {
            fired = true;
            fired_kind = kind;
            return true;
        }
        return lasting && fired && kind == fired_kind;
    }
    bool read_only(const std::string& path) const {
        return !read_only_prefix.empty() && path.rfind(read_only_prefix, 0) == 0;
    }
};

Injector* injector = nullptr;
PlatformOps inner;

PlatFile* f_open(const char* path, OpenMode mode) {
    Kind kind = mode == OpenMode::read     ? Kind::open_read
                : mode == OpenMode::append ? Kind::open_append
                                           : Kind::open_write;
    if (injector->fails(kind, path) || (mode != OpenMode::read && injector->read_only(path)))
        return nullptr;
    PlatFile* f = inner.open(path, mode);
    if (f != nullptr)
        injector->open_paths[f] = path;
    return f;
}

// A failed read is a failure, never the end of the file.
std::size_t f_read(PlatFile* f, char* buf, std::size_t cap) {
    if (injector->fails(Kind::read, injector->open_paths[f]))
        return READ_FAILED;
    return inner.read(f, buf, cap);
}

// A failed write stores the first half of its data, as a disk that fills up mid-way does.
bool f_write(PlatFile* f, const char* data, std::size_t len) {
    if (injector->fails(Kind::write, injector->open_paths[f])) {
        inner.write(f, data, len / 2);
        return false;
    }
    return inner.write(f, data, len);
}

// A failed close still releases the file; what was written stays.
bool f_close(PlatFile* f) {
    bool fail = injector->fails(Kind::close, injector->open_paths[f]);
    injector->open_paths.erase(f);
    bool ok = inner.close(f);
    return ok && !fail;
}

bool f_remove(const char* path, bool only_empty) {
    if (injector->fails(Kind::remove, path) || injector->read_only(path))
        return false;
    return inner.remove(path, only_empty);
}

void f_make_writable(const char* path) {
    if (!injector->fails(Kind::make_writable, path) && !injector->read_only(path))
        inner.make_writable(path);
}

// A file that cannot be read is never found to hold the text.
bool f_holds_text(const char* path, const char* text) {
    return !injector->fails(Kind::holds_text, path) && inner.holds_text(path, text);
}

PlatFind* f_find_first(const char* pattern, FindEntry* entry) {
    if (injector->fails(Kind::find_first, pattern))
        return nullptr;
    return inner.find_first(pattern, entry);
}

bool f_find_next(PlatFind* search, FindEntry* entry) {
    if (injector->fails(Kind::find_next, ""))
        return false;
    return inner.find_next(search, entry);
}

int f_run_command(const char* command) {
    if (injector->fails(Kind::run_command, command))
        return -1; // the interpreter could not be started
    return inner.run_command(command);
}

void f_overlay(const char* path) {
    if (injector->fails(Kind::overlay, path))
        return; // the start failed
    inner.overlay(path);
}

// Installs the injector over the platform in force while it lives.
class FaultScope {
  public:
    explicit FaultScope(Injector& inj) : saved_(plat) {
        injector = &inj;
        inner = plat;
        plat.open = f_open;
        plat.read = f_read;
        plat.write = f_write;
        plat.close = f_close;
        plat.remove = f_remove;
        plat.make_writable = f_make_writable;
        plat.holds_text = f_holds_text;
        plat.find_first = f_find_first;
        plat.find_next = f_find_next;
        plat.run_command = f_run_command;
        plat.overlay = f_overlay;
    }
    ~FaultScope() {
        plat = saved_;
        injector = nullptr;
    }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;

  private:
    PlatformOps saved_;
};

const std::string MERGE_TEXT = "@ECHO OFF\n"
                               "START TELVOX /M\n"
                               "START HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                               "START HALTBOX \"Finished_-_Merge\" 1000\n";
const std::string UPDATER = "TELVOX.EXE /M";
const std::string CANNOT_CREATE = "CANNOT CREATE FILE TELVOX.MSG";
const std::string STALE_BATCH = "@ECHO OFF\nREM left by an earlier run\n";

const std::string TABLES_TEXT = "[numcom] = 2\n"
                                "[roll_day]\n15,20,0,0\n"
                                "[roll_month]\n0,1,0,0\n"
                                "[precision]\n2,-2,0,0\n"
                                "[bytes]\n2,4,2,2\n"
                                "[compu_trac]\n2,-2,0,0\n"
                                "[mynames]\nSP S&P 500 INDEX\nGC GOLD\n"
                                "[all_tag]\n1HHMMUUZZHHMM 1GJMQVZGJMQVZ\n";
const std::string HOST = "https://download.quarrine.example/updates/";

enum class Calendar { good, broken, broken_with_stale_batch };

// A complete install: the three support files, a notice file from earlier runs, a system
// message, a web log with one refusal, and update files empty and not.
FakeWorld install(Calendar calendar) {
    FakeWorld w;
    w.today = "12/07/26";
    w.files["\\QUARRINE\\TABLES.INI"] = TABLES_TEXT;
    w.files["\\QUARRINE\\TELVOX.INI"] = "USER ID = demo01\nUPDATE DIRECTORY = C:\\DATA\n";
    w.files["HOLIDAYS.KVL"] =
        calendar == Calendar::good ? "12/25/26 20\n01/15/27 20\n" : "12/25/26 20\n07/04/21 21\n";
    w.files["\\QUARRINE\\TELVOX.MSG"] = "\nearlier notice\n    ";
    w.files["\\QUARRINE\\SYSTEM.MSG"] = "Closed on Friday.\nUpdates resume Monday.\n";
    w.files["\\QUARRINE\\LOGWEB.TXT"] =
        "09:14:03 200 RETR " + HOST + "0301.cot\n" + "Authorization failed: user 10442\n";
    w.files["\\QUARRINE\\TELVOX.LOG"] = "old log\n";
    w.files["\\QUARRINE\\TEMPZIP.BAT"] = "@echo old\n";
    w.files["\\QUARRINE\\UPDATES\\SYMBOLS.TXT"] = "SP,GC\n";
    w.files["\\QUARRINE\\UPDATES\\0301.CLC"] = "";
    w.files["\\QUARRINE\\UPDATES\\0301.IDX"] = "data\n";
    w.files["\\QUARRINE\\UPDATES\\0302.COT"] = "";
    w.files["\\QUARRINE\\UPDATES\\0301.COT"] = "cot data\n";
    if (calendar == Calendar::broken_with_stale_batch) {
        w.files[MERGE_BATCH] = STALE_BATCH;
        w.read_only.insert(MERGE_BATCH);
    }
    return w;
}

// The files the run may delete: the previous run's leftovers and the empty update files.
bool deletable(const std::string& path, const std::string& text) {
    return path == "\\QUARRINE\\TELVOX.LOG" || path == "\\QUARRINE\\TEMPZIP.BAT" ||
           path == "\\QUARRINE\\UPDATES\\SYMBOLS.TXT" || path == MERGE_BATCH ||
           (path.rfind("\\QUARRINE\\UPDATES\\", 0) == 0 && text.empty());
}

struct Outcome {
    enum How { returned, ended, replaced } how = returned;
    int status = -1;
    FakeWorld after;
    std::vector<Call> calls;
    bool fired = false;
};

Outcome run_with(const FakeWorld& world, Injector inj) {
    reset_program_state();
    FakePlatform fake;
    fake.world = world;
    Outcome out;
    {
        FaultScope scope(inj);
        try {
            run_sequence();
        } catch (const ProcessEnded& end) {
            out.how = Outcome::ended;
            out.status = end.status;
        } catch (const ProcessReplaced& r) {
            out.how = Outcome::replaced;
            out.status = r.path == MERGE_BATCH ? 0 : -1;
        }
        // A run that ends while a file is open (the web log, when a notice cannot be written)
        // leaves it to the process end to close; the double releases it here instead.
        for (const auto& [file, path] : inj.open_paths)
            inner.close(file);
        out.calls = inj.calls;
        out.fired = inj.fired;
    }
    out.after = fake.world;
    return out;
}

bool on(const Call& c, Kind kind, const char* path) {
    return c.kind == kind && c.path == path;
}

// The invariants after a run whose call k failed (failed is that call).
void check_run(const FakeWorld& before, const Outcome& out, const Call& failed, bool lasting,
               Calendar calendar) {
    const auto& files = out.after.files;
    const bool updater_ran = !out.after.commands.empty();
    const bool cannot_create = out.after.console.find(CANNOT_CREATE) != std::string::npos;

    // How the run ended.
    ASSERT_NE(out.how, Outcome::returned);
    ASSERT_TRUE(out.status == 0 || out.status == 1) << out.status;
    // Status 1 comes only from the tables file, and always when it cannot be opened or read.
    const bool tables_fault =
        on(failed, Kind::open_read, TABLES_FILE) || on(failed, Kind::read, TABLES_FILE);
    const bool tables_failed = out.status == 1;
    if (tables_failed) {
        EXPECT_TRUE(tables_fault);
        EXPECT_TRUE(out.after.commands.empty());
    }
    if (tables_fault) {
        EXPECT_EQ(out.status, 1);
    }
    if (cannot_create) {
        EXPECT_EQ(failed.kind, Kind::open_append);
    }
    if (updater_ran) {
        EXPECT_EQ(out.after.commands, std::vector<std::string>{UPDATER});
        EXPECT_EQ(out.how, Outcome::ended);
        EXPECT_EQ(out.status, 0);
    }
    // A file that cannot be read whole is, for the readers that take a whole file, one that
    // cannot be opened.
    auto lost = [&failed](const char* path) {
        return on(failed, Kind::open_read, path) || on(failed, Kind::read, path);
    };
    const bool stage_stops =
        tables_failed || cannot_create || lost(SETTINGS_FILE) || lost(HOLIDAYS_FILE);
    if (calendar == Calendar::good && !stage_stops && failed.kind != Kind::run_command) {
        EXPECT_TRUE(updater_ran) << "a fault the stages pass over must not stop the run";
    }
    if (calendar != Calendar::good || lost(HOLIDAYS_FILE)) {
        EXPECT_FALSE(updater_ran);
    }
    if (lost(SETTINGS_FILE)) {
        EXPECT_EQ(out.how, Outcome::ended);
    }
    if (lost(HOLIDAYS_FILE) && !lasting) {
        EXPECT_EQ(out.how, Outcome::replaced) << "the calendar's loss hands over to the batch";
    }

    // The notice file only grew.
    const std::string& old_notes = before.files.at(NOTICE_FILE);
    ASSERT_EQ(files.count(NOTICE_FILE), 1u);
    EXPECT_EQ(files.at(NOTICE_FILE).compare(0, old_notes.size(), old_notes), 0)
        << "the notice file lost earlier text";

    // Files only read stay as they were; only the allowed deletions happen; nothing appears
    // but the notice file and the merge batch.
    for (const auto& [path, text] : before.files) {
        if (path == NOTICE_FILE || path == MERGE_BATCH)
            continue;
        auto it = files.find(path);
        if (it == files.end()) {
            EXPECT_TRUE(deletable(path, text)) << path << " was deleted";
            EXPECT_FALSE(tables_failed) << path << " deleted after the tables failed";
        } else {
            EXPECT_EQ(it->second, text) << path << " changed";
        }
    }
    for (const auto& [path, text] : files) {
        EXPECT_TRUE(before.files.count(path) != 0 || path == MERGE_BATCH) << path << " appeared";
        bool inside = path.rfind("\\QUARRINE\\", 0) == 0 || path.find('\\') == std::string::npos;
        EXPECT_TRUE(inside) << path << " lies outside the install folder and working directory";
    }

    // A merge batch is whole, or the earlier one that could be neither deleted nor replaced.
    if (auto it = files.find(MERGE_BATCH); it != files.end()) {
        bool stale = calendar == Calendar::broken_with_stale_batch && it->second == STALE_BATCH;
        EXPECT_TRUE(it->second == MERGE_TEXT || stale) << "a cut merge batch: " << it->second;
    }
    if (out.how == Outcome::replaced) {
        EXPECT_EQ(files.count(MERGE_BATCH), 1u);
    }
    // One passing fault in the making of the batch never costs the merge: a replacement that
    // fails gives way to a plain write. Only a mark that could not be cleared keeps the earlier
    // batch as it was.
    if (!lasting && failed.path == MERGE_BATCH && failed.kind != Kind::make_writable &&
        failed.kind != Kind::overlay) {
        EXPECT_EQ(out.how, Outcome::replaced);
        EXPECT_EQ(files.count(MERGE_BATCH) != 0 ? files.at(MERGE_BATCH) : "<none>", MERGE_TEXT);
    }
}

struct Tally {
    long calls = 0;
    long runs = 0;
};

// Runs the scenario clean, then fails each call in turn, passing and lasting.
Tally exhaust(Calendar calendar) {
    const FakeWorld before = install(calendar);
    Tally tally;
    Outcome clean = run_with(before, Injector{});
    tally.calls = static_cast<long>(clean.calls.size());
    for (bool lasting : {false, true}) {
        for (long k = 0;; ++k) {
            Injector inj;
            inj.fail_at = k;
            inj.lasting = lasting;
            Outcome out = run_with(before, inj);
            if (!out.fired) {
                EXPECT_GE(k, tally.calls) << "a faulty run made fewer calls than were counted";
                break;
            }
            ++tally.runs;
            const Call& failed = out.calls[static_cast<std::size_t>(k)];
            SCOPED_TRACE(std::string(lasting ? "lasting" : "passing") + " fault on call " +
                         std::to_string(k) + ": " + KIND_NAMES[static_cast<int>(failed.kind)] +
                         " " + failed.path);
            check_run(before, out, failed, lasting, calendar);
            if (::testing::Test::HasFatalFailure())
                return tally;
        }
    }
    return tally;
}

TEST(FaultInjection, EveryCallOfAWholeRunFails) {
    const FakeWorld before = install(Calendar::good);
    Outcome clean = run_with(before, Injector{});
    ASSERT_EQ(clean.how, Outcome::ended);
    ASSERT_EQ(clean.after.commands, std::vector<std::string>{UPDATER});
    // Every kind of call the injector can fail occurs in the clean run, except the overlay,
    // which the broken calendar brings in below.
    std::vector<bool> seen(std::size(KIND_NAMES));
    for (const Call& c : clean.calls)
        seen[static_cast<int>(c.kind)] = true;
    for (Kind k : {Kind::open_read, Kind::open_append, Kind::read, Kind::write, Kind::close,
                   Kind::remove, Kind::find_first, Kind::find_next, Kind::run_command})
        EXPECT_TRUE(seen[static_cast<int>(k)]) << KIND_NAMES[static_cast<int>(k)];

    Tally t = exhaust(Calendar::good);
    std::printf("[ fault injection ] complete install: %ld calls, %ld faulty runs\n", t.calls,
                t.runs);
    EXPECT_GT(t.runs, 2 * (t.calls - 1));
}

TEST(FaultInjection, EveryCallOfAHandOverToTheMergeBatchFails) {
    for (Calendar calendar : {Calendar::broken, Calendar::broken_with_stale_batch}) {
        const FakeWorld before = install(calendar);
        Outcome clean = run_with(before, Injector{});
        ASSERT_EQ(clean.how, Outcome::replaced);
        EXPECT_EQ(clean.after.files.at(MERGE_BATCH), MERGE_TEXT);
        bool overlay_seen = false, write_open_seen = false, make_writable_seen = false;
        for (const Call& c : clean.calls) {
            overlay_seen = overlay_seen || c.kind == Kind::overlay;
            write_open_seen = write_open_seen || c.kind == Kind::open_write;
            make_writable_seen = make_writable_seen || c.kind == Kind::make_writable;
        }
        EXPECT_TRUE(overlay_seen && write_open_seen && make_writable_seen);

        Tally t = exhaust(calendar);
        std::printf("[ fault injection ] broken calendar%s: %ld calls, %ld faulty runs\n",
                    calendar == Calendar::broken ? "" : " and a read-only earlier batch", t.calls,
                    t.runs);
        EXPECT_GT(t.runs, 2 * (t.calls - 1));
    }
}

// An install folder where nothing can be written or deleted. Running as root ignores the
// permission bits of a real folder, so the read-only folder is made by the test double: every
// open for writing or appending and every deletion under \QUARRINE\ is refused.
TEST(FaultInjection, ReadOnlyInstallFolder) {
    struct Case {
        const char* name;
        Calendar calendar;
        bool refusal_in_log;
        Outcome::How how;
        bool updater;
        std::string console;
    };
    const std::string DAYS_LEFT = "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = 39";
    const std::string CONSOLE_TEXT = "\n\n\n\n\n" + CANNOT_CREATE + "\n\n\n\n\n";
    const Case cases[] = {
        // The relay passes over the unopenable notice file; the refusal's notice cannot be
        // written, which ends the run before the updater.
        {"refusal", Calendar::good, true, Outcome::ended, false, DAYS_LEFT + CONSOLE_TEXT},
        {"no refusal", Calendar::good, false, Outcome::ended, true, DAYS_LEFT},
        {"broken calendar", Calendar::broken, true, Outcome::ended, false, CONSOLE_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWorld before = install(c.calendar);
        if (!c.refusal_in_log)
            before.files["\\QUARRINE\\LOGWEB.TXT"] = "09:14:03 200 RETR " + HOST + "0301.cot\n";
        Injector inj;
        inj.read_only_prefix = "\\QUARRINE\\";
        Outcome out = run_with(before, inj);
        EXPECT_EQ(out.how, c.how);
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.after.files, before.files) << "nothing in a read-only folder changes";
        EXPECT_EQ(out.after.commands.size(), c.updater ? 1u : 0u);
        EXPECT_EQ(out.after.console, c.console);
    }
}

} // namespace

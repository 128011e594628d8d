// sandbox.cpp - the end-to-end harness on POSIX: stand-ins are shell scripts, the program is
// the freshly built binary, run in a child process with ZELMORTH_ROOT naming the drive.
#include "sandbox.h"

#ifdef ZELMORTH_WINE_EXE
#include "wine_runner.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char** environ;

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

using Files = std::map<std::string, std::string>;

// Every entry below a folder: path relative to it, and its bytes; folders end in '/'.
Files files_below(const fs::path& top) {
    Files all;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        std::string rel = entry.path().lexically_relative(top).generic_string();
        if (entry.is_symlink())
            all[rel] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            all[rel + "/"] = "";
        else
            all[rel] = slurp(entry.path());
    }
    return all;
}

// A stand-in logs "NAME arg arg..." and, for TELVOX.EXE, the folder it ran in relative to the
// drive. START then runs its arguments as a command, as the Windows START would.
std::string standin_script(const std::string& name, const fs::path& top) {
    std::string log = (top / "calls.log").string();
    std::string s = "#!/bin/sh\n";
    s += "line='" + name + "'\n";
    s += "for a in \"$@\"; do line=\"$line $a\"; done\n";
    if (name == "TELVOX.EXE") {
        s += "here=$(pwd -P); drive=$(cd '" + (top / "drive").string() + "' && pwd -P)\n";
        s += "line=\"$line [in ${here#$drive}]\"\n";
    }
    s += "printf '%s\\n' \"$line\" >> '" + log + "'\n";
    if (name == "START")
        s += "\"$@\"\n";
    if (name == "TELVOX.EXE")
        s += "exit $(cat '" + (top / "telvox.status").string() + "' 2>/dev/null || echo 0)\n";
    return s;
}

} // namespace

Sandbox::Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "zelmorth-e2e-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    top_ = tmpl;
    drive_ = top_ / "drive";
    fs::create_directories(drive_ / "QUARRINE");
    fs::create_directories(top_ / "bin");
#ifdef ZELMORTH_WINE_EXE
    wine_install_standins(top_ / "bin");
    return;
#endif
    for (const char* name : {"TELVOX.EXE", "TELVOX", "START", "@ECHO", "HALTBOX"}) {
        fs::path script = top_ / "bin" / name;
        std::ofstream(script, std::ios::binary) << standin_script(name, top_);
        fs::permissions(script, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    }
}

Sandbox::~Sandbox() {
    std::error_code ec;
    // Restore write permission on anything a test made read-only so that removal succeeds.
    for (auto it = fs::recursive_directory_iterator(top_, ec); it != fs::end(it); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(top_, ec);
}

void Sandbox::write(const std::string& rel, const std::string& bytes) const {
    fs::path path = drive_ / rel;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

void Sandbox::make_folder(const std::string& rel) const {
    fs::create_directories(drive_ / rel);
}

std::optional<std::string> Sandbox::read(const std::string& rel) const {
    fs::path path = drive_ / rel;
    if (!fs::is_regular_file(path))
        return std::nullopt;
    return slurp(path);
}

bool Sandbox::exists(const std::string& rel) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(drive_ / rel, ec));
}

std::map<std::string, std::string> Sandbox::files() const {
    return files_below(drive_);
}

void Sandbox::set_updater_status(int status) const {
    std::ofstream(top_ / "telvox.status") << status << "\n";
}

namespace {

// A program started in a child process and not yet waited for.
struct Started {
    pid_t pid = -1;
    int console = -1; // the read end of its standard output
    fs::path errors;  // the file that takes its standard error
};

// Starts a program with the working directory at drive/QUARRINE and ZELMORTH_ROOT naming drive,
// the stand-ins first on the search path. With full_output its standard output is /dev/full.
Started start(const std::string& exe, const std::vector<std::string>& args, const fs::path& top,
              const fs::path& drive, const std::string& tag, bool full_output) {
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    Started started;
    started.errors = top / ("errors" + tag + ".out");
    std::string path_var = "PATH=" + (top / "bin").string() + ":/usr/bin:/bin";
    std::string root_var = "ZELMORTH_ROOT=" + drive.string();
    std::vector<std::string> env_store;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string var = *e;
        if (var.rfind("PATH=", 0) != 0 && var.rfind("ZELMORTH_ROOT=", 0) != 0)
            env_store.push_back(var);
    }
    env_store.push_back(path_var);
    env_store.push_back(root_var);
    std::vector<char*> envp;
    for (auto& var : env_store)
        envp.push_back(var.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_store{exe};
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string cwd = (drive / "QUARRINE").string();

    started.pid = fork();
    if (started.pid < 0)
        throw std::runtime_error("fork failed");
    if (started.pid == 0) {
        int err = ::open(started.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(126);
        int full = full_output ? ::open("/dev/full", O_WRONLY) : out[1];
        if (full < 0 || dup2(full, STDOUT_FILENO) < 0)
            _exit(126);
        close(out[0]);
        close(out[1]);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    started.console = out[0];
    return started;
}

// Takes the program's console up to its end (when it and everything it started have let go of
// it) and waits for the program.
RunResult finish(const Started& started) {
    RunResult result;
    char buf[4096];
    for (;;) {
        ssize_t got = ::read(started.console, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        result.console.append(buf, static_cast<std::size_t>(got));
    }
    close(started.console);
    int wstatus = 0;
    while (waitpid(started.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.errors = slurp(started.errors);
    return result;
}

// Runs count copies of a program at once, started one right after the other, and waits for
// them all.
std::vector<RunResult> launch(const std::string& exe, const std::vector<std::string>& args,
                              const fs::path& top, const fs::path& drive, int count = 1,
                              bool full_output = false) {
#ifdef ZELMORTH_WINE_EXE
    return wine_run(top, drive, args, exe, count, full_output);
#endif
    std::vector<Started> running;
    for (int i = 0; i < count; ++i)
        running.push_back(
            start(exe, args, top, drive, count > 1 ? std::to_string(i) : "", full_output));
    std::vector<RunResult> results;
    for (const Started& started : running)
        results.push_back(finish(started));
    return results;
}

// A stand-in program holding a file for the life of this object, or less when its time runs
// out first. Without a hold it does nothing.
class Holding {
  public:
    Holding(const fs::path& top, const fs::path& drive, const std::optional<FileHold>& hold) {
        if (!hold)
            return;
#ifdef ZELMORTH_WINE_EXE
        holder_ = wine_hold(top, drive / hold->rel, hold->hold_ms);
#else
        (void)top;
        (void)drive;
        throw std::logic_error("files held by other programs exist only on the Windows build");
#endif
    }
    ~Holding() {
#ifdef ZELMORTH_WINE_EXE
        wine_let_go(holder_);
#endif
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

  private:
#ifdef ZELMORTH_WINE_EXE
    WineHold holder_;
#endif
};

// One effect of the check's report: its line, and the lines of written text shown under it.
struct Effect {
    std::string word;
    std::string rest;
    std::vector<std::string> shown;
    unsigned long long more = 0; // lines written beyond those shown
};

std::vector<Effect> parse_report(const std::string& report) {
    std::vector<Effect> effects;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("    |", 0) == 0 && !effects.empty()) {
            effects.back().shown.push_back(line.size() > 6 ? line.substr(6) : "");
        } else if (line.rfind("    + ", 0) == 0 && !effects.empty()) {
            effects.back().more = std::stoull(line.substr(6));
        } else {
            std::size_t space = line.find(' ');
            Effect effect;
            effect.word = line.substr(0, space);
            effect.rest = space == std::string::npos ? "" : line.substr(space + 1);
            effects.push_back(effect);
        }
    }
    return effects;
}

// The lines of a text: split at its newlines, the last one counted without a newline too.
std::vector<std::string> text_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The report shows the first 20 lines of a written text, each cut after 160 characters.
void expect_shown(const Effect& effect, const std::string& written) {
    constexpr std::size_t LINES = 20, CHARS = 160;
    std::vector<std::string> lines = text_lines(written);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < lines.size() && i < LINES; ++i)
        expected.push_back(lines[i].size() <= CHARS
                               ? lines[i]
                               : lines[i].substr(0, CHARS) + " [+" +
                                     std::to_string(lines[i].size() - CHARS) + " characters]");
    EXPECT_EQ(effect.shown, expected) << effect.rest;
    EXPECT_EQ(effect.more, lines.size() - expected.size()) << effect.rest;
}

// A program's name for a file below the drive, as the sandbox names it.
std::string drive_relative(std::string name) {
    if (!name.empty() && name[0] == '\\')
        name.erase(0, 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::vector<std::string> console_lines(const std::string& console) {
    std::vector<std::string> lines;
    std::string attrib = missing_batch_attrib_line();
    for (const std::string& line : text_lines(console))
        if (line.find_first_not_of(" \t") != std::string::npos && line + "\n" != attrib)
            lines.push_back(line);
    return lines;
}

// Holds the run to the check's report: the files as before but for each deletion and each
// text written, the console lines, the programs started and the exit status. A file behind a
// link to a device shows nothing of what it took, so the text written there is not compared.
void expect_foreseen(const RunResult& check, const Files& before, const Files& after,
                     const RunResult& run, const std::vector<std::string>& new_calls,
                     bool updater_present) {
    SCOPED_TRACE("zelmorth-check foresaw:\n" + check.console);
    Files expected = before;
    std::vector<std::string> console, calls;
    std::optional<int> exit_status;
    bool handed_over = false, ran = false;
    std::vector<Effect> effects = parse_report(check.console);
    for (const Effect& e : effects) {
        if (e.word == "check" || e.word == "note" || e.word == "writable") {
            continue;
        } else if (e.word == "delete") {
            EXPECT_EQ(expected.erase(drive_relative(e.rest)), 1u) << "no file to delete";
        } else if (e.word == "append" || e.word == "write") {
            std::size_t count_at = e.rest.rfind(' ', e.rest.size() - sizeof " bytes");
            std::string rel = drive_relative(e.rest.substr(0, count_at));
            std::size_t bytes = std::stoul(e.rest.substr(count_at + 1));
            auto now = after.find(rel);
            if (now == after.end()) {
                ADD_FAILURE() << "no file after the run for: " << e.rest;
                continue;
            }
            if (now->second.rfind("-> ", 0) == 0)
                continue;
            std::string& file = expected[rel];
            if (e.word == "write")
                file.clear();
            EXPECT_EQ(now->second.substr(0, file.size()), file) << e.rest;
            std::string written = now->second.substr(std::min(file.size(), now->second.size()));
            written.resize(std::min(written.size(), bytes));
            EXPECT_EQ(written.size(), bytes) << e.rest;
            expect_shown(e, written);
            file += written;
        } else if (e.word == "console") {
            console.push_back(e.rest);
        } else if (e.word == "run") {
            ran = true;
            if (updater_present)
                calls.push_back(e.rest + " [in /QUARRINE]");
        } else if (e.word == "hand-over") {
            handed_over = true;
        } else if (e.word == "exit") {
            exit_status = std::stoi(e.rest);
        } else {
            ADD_FAILURE() << "unknown report line: " << e.word << " " << e.rest;
        }
    }
    ASSERT_FALSE(effects.empty());
    EXPECT_TRUE(effects.back().word == "exit" || effects.back().word == "hand-over");
    if (handed_over && !exit_status)
        calls = merge_batch_calls();
    EXPECT_EQ(after, expected);
    EXPECT_EQ(console_lines(run.console), console);
    EXPECT_EQ(new_calls, calls);
    if (exit_status) {
        EXPECT_EQ(run.status, *exit_status);
    }
    EXPECT_EQ(check.status, exit_status == 0 && ran ? 0 : 1);
}

} // namespace

RunResult Sandbox::run(const std::vector<std::string>& args,
                       const std::optional<FileHold>& hold) const {
    fs::path copy = top_ / "check-copy";
    fs::remove_all(copy);
    fs::copy(drive_, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    Files copy_before = files_below(copy);
    RunResult check;
    {
        Holding held(top_, copy, hold && hold->hold_ms == 0 ? hold : std::nullopt);
        check = launch(ZELMORTH_CHECK_EXE, {}, top_, copy)[0];
    }
    EXPECT_EQ(files_below(copy), copy_before) << "zelmorth-check changed the files";
    fs::remove_all(copy);

    Files before = files();
    std::vector<std::string> calls_before = calls();
    RunResult result;
    {
        Holding held(top_, drive_, hold);
        result = launch(ZELMORTH_EXE, args, top_, drive_)[0];
    }
    std::vector<std::string> new_calls = calls();
    new_calls.erase(new_calls.begin(),
                    new_calls.begin() + static_cast<std::ptrdiff_t>(calls_before.size()));
    expect_foreseen(check, before, files(), result, new_calls, fs::exists(top_ / "bin/TELVOX.EXE"));
    return result;
}

RunResult Sandbox::run_beside_appender(const std::string& rel, unsigned long* appended) const {
#ifdef ZELMORTH_WINE_EXE
    (void)rel;
    (void)appended;
    throw std::logic_error("the appending process is a POSIX one");
#else
    fs::path ready = top_ / "append.ready", stop = top_ / "append.stop";
    fs::path count = top_ / "append.count";
    int fd = ::open((drive_ / rel).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + rel + " to append to it");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Until the harness says stop, or five minutes have passed.
        std::time_t started = std::time(nullptr);
        unsigned long n = 0;
        for (;;) {
            char line[64];
            int len = std::snprintf(line, sizeof line, "other program's line %06lu\n", n + 1);
            if (::write(fd, line, static_cast<std::size_t>(len)) != len)
                _exit(1);
            if (++n == 1)
                ::close(::open(ready.c_str(), O_WRONLY | O_CREAT, 0644));
            if (n % 8 == 0 &&
                (::access(stop.c_str(), F_OK) == 0 || std::time(nullptr) - started > 300))
                break;
        }
        int out = ::open(count.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string text = std::to_string(n);
        _exit(out >= 0 &&
                      ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size())
                  ? 0
                  : 1);
    }
    ::close(fd);
    for (int waited = 0; !fs::exists(ready) && waited < 60000; waited += 10)
        usleep(10000);
    RunResult result = launch(ZELMORTH_EXE, {}, top_, drive_)[0];
    std::ofstream(stop) << "stop\n";
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
        throw std::runtime_error("the appending process failed");
    *appended = std::stoul(slurp(count));
    return result;
#endif
}

std::vector<RunResult> Sandbox::run_at_once(int count) const {
    return launch(ZELMORTH_EXE, {}, top_, drive_, count);
}

RunResult Sandbox::check(const std::vector<std::string>& args, const std::optional<FileHold>& hold,
                         bool full_output) const {
    Holding held(top_, drive_, hold);
    return launch(ZELMORTH_CHECK_EXE, args, top_, drive_, 1, full_output)[0];
}

void Sandbox::lay_support_files() const {
    fs::path fixtures = ZELMORTH_FIXTURES;
    write("QUARRINE/TABLES.INI", slurp(fixtures / "TABLES.INI"));
    write("QUARRINE/TELVOX.INI", slurp(fixtures / "TELVOX.INI"));
    write("QUARRINE/HOLIDAYS.KVL", holiday_line(-20) + holiday_line(365));
}

void Sandbox::lay_leftovers() const {
    write("QUARRINE/TELVOX.LOG", "old log\n");
    write("QUARRINE/TEMPZIP.BAT", "@echo old\n");
    write("QUARRINE/UPDATES/SYMBOLS.TXT", "SP,GC\n");
}

std::string holiday_line(int days_from_today) {
    // Count in calendar days from today's local noon, so that a change of clocks cannot move
    // the result to a neighbouring day.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_mday += days_from_today;
    local.tm_hour = 12;
    local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    std::mktime(&local);
    char line[32];
    std::snprintf(line, sizeof line, "%02d/%02d/%02d %02d\n", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100, 19 + local.tm_year / 100);
    return line;
}

std::vector<std::string> Sandbox::calls() const {
    std::vector<std::string> lines;
    std::istringstream in(slurp(top_ / "calls.log"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string notice_block(const std::string& text) {
    return "\n*******************     NOTICE     *************************\n\n" + text + "\n    ";
}

#ifdef ZELMORTH_WINE_EXE
bool sandbox_runs_windows_program() {
    return true;
}

std::vector<std::string> merge_batch_calls() {
    return {"HALTBOX Finished_-_Merge 1000", "HALTBOX Finished_-_Zelmorth 1000", "TELVOX /M"};
}

std::string missing_batch_attrib_line() {
    return "\\QUARRINE\\merge.bat: File Not Found\n";
}
#else
bool sandbox_runs_windows_program() {
    return false;
}

std::vector<std::string> merge_batch_calls() {
    return {"@ECHO OFF",
            "START TELVOX /M",
            "TELVOX /M",
            "START HALTBOX Finished_-_Zelmorth 1000",
            "HALTBOX Finished_-_Zelmorth 1000",
            "START HALTBOX Finished_-_Merge 1000",
            "HALTBOX Finished_-_Merge 1000"};
}

std::string missing_batch_attrib_line() {
    return "";
}
#endif

// wine_runner.cpp - the Wine side of the end-to-end harness. The prefix is made on the first run
// and kept, with its server, until the test process ends; each run maps the sandbox drive, starts
// the program through the job launcher and brings the outputs back to LF line ends.
#include "wine_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path prefix_top; // temporary folder holding the prefix; empty until the first run

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// A Linux path as Wine's Z: drive shows it.
std::string on_z(const fs::path& path) {
    std::string win = "Z:" + fs::absolute(path).string();
    std::replace(win.begin(), win.end(), '/', '\\');
    return win;
}

// Starts a program; stdout goes to out and stderr to err. Without out both go nowhere; with
// out alone stderr stays the tests'.
pid_t start_program(const std::vector<std::string>& argv_store, const fs::path& cwd,
                    const std::optional<fs::path>& out, const std::optional<fs::path>& err = {}) {
    std::vector<char*> argv;
    for (const auto& a : argv_store)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int fd = out ? ::open(out->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                     : ::open("/dev/null", O_WRONLY);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
            _exit(126);
        int err_fd = err ? ::open(err->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : fd;
        if ((err || !out) && (err_fd < 0 || dup2(err_fd, STDERR_FILENO) < 0))
            _exit(126);
        close(fd);
        int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0)
            dup2(in, STDIN_FILENO);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int wait_program(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

int run_and_wait(const std::vector<std::string>& argv_store, const fs::path& cwd,
                 const std::optional<fs::path>& out) {
    return wait_program(start_program(argv_store, cwd, out));
}

void stop_wine() {
    std::error_code ec;
    run_and_wait({ZELMORTH_WINESERVER, "-k"}, "/", std::nullopt);
    fs::remove_all(prefix_top, ec);
}

// Otherwise makes a private prefix and keeps its server running until the process ends, so
// that each run starts in a fraction of a second. Wine's own messages and dialogs are kept
// quiet, and a crash ends the program instead of waiting in the debugger.
bool prefix_ready = false;

void ensure_prefix() {
    if (prefix_ready)
        return;
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winedbg.exe=d", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // A prefix that the CTest run made for all its Windows tests is used as it is.
    const char* given = std::getenv("WINEPREFIX");
    if (given != nullptr && fs::is_directory(fs::path(given) / "dosdevices")) {
        prefix_ready = true;
        return;
    }
    std::string tmpl = (fs::temp_directory_path() / "zelmorth-wine-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    prefix_top = tmpl;
    fs::path prefix = prefix_top / "prefix";
    fs::create_directories(prefix);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    std::atexit(stop_wine);
    if (run_and_wait({ZELMORTH_WINESERVER, "-p"}, "/", std::nullopt) != 0 ||
        run_and_wait({ZELMORTH_WINE, "wineboot", "-i"}, "/", std::nullopt) != 0)
        throw std::runtime_error("cannot make the Wine prefix");
    if (!fs::exists(prefix / "dosdevices"))
        throw std::runtime_error("the Wine prefix has no dosdevices folder");
    prefix_ready = true;
}

// Points the sandbox drive letter at this sandbox. The link must be absolute: Wine ignores a
// relative one and the program would silently run on Z:.
void map_drive(const fs::path& drive) {
    std::string letter = WINE_SANDBOX_DRIVE;
    for (char& c : letter)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fs::path link = fs::path(getenv("WINEPREFIX")) / "dosdevices" / letter;
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_directory_symlink(fs::canonical(drive), link);
}

// The files the program writes in text mode: the notice file (appended) and the merge batch.
const char* const WRITTEN_FILES[] = {"TELVOX.MSG", "merge.bat"};

fs::path install_entry(const fs::path& drive, const char* name) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(drive / "QUARRINE", ec))
        if (strcasecmp(e.path().filename().c_str(), name) == 0)
            return e.path();
    return drive / "QUARRINE" / name;
}

std::optional<std::string> regular_bytes(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec)))
        return std::nullopt;
    return slurp(path);
}

// Turns the CR-LF line ends of text the Windows program wrote into LF, failing the test where
// a line end came out without its CR.
std::string to_lf(const std::string& text, const std::string& what) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ADD_FAILURE() << what << ": line end without CR at offset " << i;
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

// The part a run added to a file: all of it when the file was replaced.
void normalize_written(const fs::path& path, const std::optional<std::string>& before) {
    std::optional<std::string> now = regular_bytes(path);
    if (!now || now == before)
        return;
    std::size_t kept = before && now->starts_with(*before) ? before->size() : 0;
    std::string fixed = now->substr(0, kept) + to_lf(now->substr(kept), path.string());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << fixed;
}

// Lines appended by programs that ran side by side come in any order; sort them.
void order_new_calls(const fs::path& log, std::size_t lines_before) {
    std::vector<std::string> lines;
    std::istringstream in(slurp(log));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() < lines_before + 2)
        return;
    std::sort(lines.begin() + static_cast<std::ptrdiff_t>(lines_before), lines.end());
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines)
        out << line << '\n';
}

std::size_t count_lines(const fs::path& path) {
    std::string all = slurp(path);
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n'));
}

} // namespace

void wine_install_standins(const fs::path& bin) {
    for (const char* name : {"TELVOX.EXE", "HALTBOX.EXE"})
        fs::copy_file(fs::path(ZELMORTH_WINE_STANDINS) / name, bin / name,
                      fs::copy_options::overwrite_existing);
}

std::vector<RunResult> wine_run(const fs::path& top, const fs::path& drive,
                                const std::vector<std::string>& args, const std::string& exe,
                                int count, bool full_output) {
    if (!fs::is_regular_file(exe))
        throw std::runtime_error("no Windows build at " + exe);
    ensure_prefix();
    map_drive(drive);
    setenv("WINEPATH", on_z(top / "bin").c_str(), 1);
    setenv("SANDBOX_DRIVE", WINE_SANDBOX_DRIVE, 1);

    std::optional<std::string> before[std::size(WRITTEN_FILES)];
    for (std::size_t i = 0; i < std::size(WRITTEN_FILES); ++i)
        before[i] = regular_bytes(install_entry(drive, WRITTEN_FILES[i]));
    fs::path log = top / "calls.log";
    std::size_t calls_before = count_lines(log);

    // Each run has its own status, console and error files; all start before any is waited for.
    struct Run {
        fs::path status, console, errors;
        pid_t pid;
    };
    std::vector<Run> runs;
    for (int i = 0; i < count; ++i) {
        std::string tag = count > 1 ? std::to_string(i) : "";
        Run run{top / ("launch" + tag + ".status"), top / ("console" + tag + ".out"),
                top / ("errors" + tag + ".out"), -1};
        std::error_code ec;
        fs::remove(run.status, ec);
        std::vector<std::string> argv{ZELMORTH_WINE,
                                      (fs::path(ZELMORTH_WINE_STANDINS) / "launcher.exe").string(),
                                      on_z(run.status), on_z(exe)};
        argv.insert(argv.end(), args.begin(), args.end());
        run.pid = start_program(argv, drive / "QUARRINE",
                                full_output ? fs::path("/dev/full") : run.console, run.errors);
        runs.push_back(run);
    }

    std::vector<RunResult> results;
    for (const Run& run : runs) {
        int launcher = wait_program(run.pid);
        RunResult result;
        std::istringstream status(slurp(run.status));
        unsigned long code = 0;
        std::string settled;
        if (status >> code >> settled) {
            result.status = code <= 255 ? static_cast<int>(code) : -1;
            if (settled != "settled")
                ADD_FAILURE() << "programs started by the run were still running at the deadline";
        } else {
            ADD_FAILURE() << "the launcher left no status (it ended with " << launcher
                          << "): " << slurp(run.errors);
        }
        result.console = full_output ? "" : to_lf(slurp(run.console), "console");
        result.errors = to_lf(slurp(run.errors), "standard error");
        results.push_back(result);
    }
    for (std::size_t i = 0; i < std::size(WRITTEN_FILES); ++i)
        normalize_written(install_entry(drive, WRITTEN_FILES[i]), before[i]);
    order_new_calls(log, calls_before);
    return results;
}

WineHold wine_hold(const fs::path& top, const fs::path& file, int hold_ms) {
    ensure_prefix();
    fs::path ready = top / "hold.ready";
    WineHold hold;
    hold.release = top / "hold.release";
    std::error_code ec;
    fs::remove(ready, ec);
    fs::remove(hold.release, ec);
    hold.pid =
        start_program({ZELMORTH_WINE, (fs::path(ZELMORTH_WINE_STANDINS) / "holder.exe").string(),
                       on_z(file), on_z(ready), std::to_string(hold_ms), on_z(hold.release)},
                      top, std::nullopt);
    // A Wine start takes a fraction of a second; a minute means that something is wrong.
    for (int waited = 0; !fs::exists(ready); waited += 10) {
        int wstatus = 0;
        if (waitpid(hold.pid, &wstatus, WNOHANG) == hold.pid || waited >= 60000) {
            hold.pid = -1;
            throw std::runtime_error("the holder did not take " + file.string());
        }
        usleep(10000);
    }
    return hold;
}

void wine_let_go(WineHold& hold) {
    if (hold.pid < 0)
        return;
    std::ofstream(hold.release) << "let go\n";
    wait_program(hold.pid);
    hold.pid = -1;
}

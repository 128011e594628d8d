// sandbox.cpp - the end-to-end harness on POSIX: stand-ins are shell scripts, the program is
// the freshly built binary, run in a child process with ZELMORTH_ROOT naming the drive.
#include "sandbox.h"

#ifdef ZELMORTH_WINE_EXE
#include "wine_runner.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
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
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(drive_)) {
        std::string rel = entry.path().lexically_relative(drive_).generic_string();
        if (entry.is_symlink())
            all[rel] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            all[rel + "/"] = "";
        else
            all[rel] = slurp(entry.path());
    }
    return all;
}

void Sandbox::set_updater_status(int status) const {
    std::ofstream(top_ / "telvox.status") << status << "\n";
}

RunResult Sandbox::run(const std::vector<std::string>& args) const {
#ifdef ZELMORTH_WINE_EXE
    return wine_run(top_, drive_, args);
#endif
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    std::string exe = ZELMORTH_EXE;
    std::string path_var = "PATH=" + (top_ / "bin").string() + ":/usr/bin:/bin";
    std::string root_var = "ZELMORTH_ROOT=" + drive_.string();
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
    std::string cwd = (drive_ / "QUARRINE").string();

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    RunResult result;
    char buf[4096];
    for (;;) {
        ssize_t got = ::read(out[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        result.console.append(buf, static_cast<std::size_t>(got));
    }
    close(out[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
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

// standin_windows.cpp - the Windows stand-in for TELVOX.EXE and HALTBOX.EXE in the end-to-end
// runs under Wine: it appends its name and arguments to the sandbox's call log, as the POSIX
// stand-in scripts do, so that both builds leave the same lines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The sandbox keeps the stand-ins in <top>\bin and the log and the updater's status in <top>.
std::string top_folder() {
    char module[MAX_PATH];
    DWORD len = GetModuleFileNameA(nullptr, module, sizeof module);
    std::string path(module, len < sizeof module ? len : 0);
    for (int up = 0; up < 2; ++up) {
        std::size_t cut = path.find_last_of('\\');
        path.resize(cut == std::string::npos ? 0 : cut);
    }
    return path;
}

// The name as the caller wrote it. The run sequence's "TELVOX.EXE /M" arrives as typed; START
// hands over the full path of the file its search found, with the extension the search added,
// so the batch's "START TELVOX /M" is logged as "TELVOX", as the POSIX stand-in logs it.
std::string invoked_name(const char* argv0) {
    std::string name = argv0;
    std::size_t slash = name.find_last_of("\\/");
    if (slash == std::string::npos)
        return name;
    name.erase(0, slash + 1);
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return name;
}

// The working folder relative to the sandbox drive's root, with forward slashes; a folder on
// another drive keeps its drive letter, so a run in the wrong place shows in the log.
std::string folder_on_drive() {
    char cwd[MAX_PATH];
    DWORD len = GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string here(cwd, len < sizeof cwd ? len : 0);
    const char* drive = std::getenv("SANDBOX_DRIVE");
    if (drive != nullptr && here.size() >= 2 && _strnicmp(here.c_str(), drive, 2) == 0)
        here.erase(0, 2);
    for (char& c : here)
        if (c == '\\')
            c = '/';
    if (here.size() > 1 && here.back() == '/')
        here.pop_back();
    return here;
}

// Appends one line under a named lock: the batch's STARTs run the stand-ins side by side.
void append_line(const std::string& log, const std::string& line) {
    HANDLE lock = CreateMutexA(nullptr, FALSE, "zelmorth-standin-log");
    if (lock != nullptr)
        WaitForSingleObject(lock, 30000);
    if (FILE* f = std::fopen(log.c_str(), "ab")) {
        std::fputs(line.c_str(), f);
        std::fclose(f);
    }
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

int updater_status(const std::string& top) {
    int status = 0;
    if (FILE* f = std::fopen((top + "\\telvox.status").c_str(), "r")) {
        if (std::fscanf(f, "%d", &status) != 1)
            status = 0;
        std::fclose(f);
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::string top = top_folder();
    std::string name = invoked_name(argc > 0 ? argv[0] : "");
    std::string line = name;
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    bool updater = name == "TELVOX.EXE";
    if (updater)
        line += " [in " + folder_on_drive() + "]";
    append_line(top + "\\calls.log", line + "\n");
    return updater ? updater_status(top) : 0;
}

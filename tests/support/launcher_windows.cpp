// launcher_windows.cpp - starts the program under test in a job and waits until the program and
// everything it started have ended: the merge batch and the programs its STARTs launch run on
// after the program itself is gone, and the harness must not look at the sandbox before then.
// Usage: launcher STATUS-FILE PROGRAM [ARG...]; the program's exit status goes into STATUS-FILE.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD SETTLE_LIMIT_MS = 60000;

// Quotes one argument the way the runtime's argument parser reads it back.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: launcher STATUS-FILE PROGRAM [ARG...]\n", stderr);
        return 120;
    }
    std::string command = quoted(argv[2]);
    for (int i = 3; i < argc; ++i) {
        command += ' ';
        command += quoted(argv[i]);
    }

    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT link{job, port};
    if (job == nullptr || port == nullptr ||
        !SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &link,
                                 sizeof link)) {
        std::fputs("launcher: cannot set up the job\n", stderr);
        return 121;
    }
    STARTUPINFOA start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION proc{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &start, &proc)) {
        std::fprintf(stderr, "launcher: cannot start %s\n", command.c_str());
        return 122;
    }
    if (!AssignProcessToJobObject(job, proc.hProcess)) {
        TerminateProcess(proc.hProcess, 1);
        std::fputs("launcher: cannot put the program in the job\n", stderr);
        return 123;
    }
    ResumeThread(proc.hThread);
    WaitForSingleObject(proc.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(proc.hProcess, &status);

    // The job reports when its last process has ended; programs started later join it.
    bool settled = false;
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = nullptr;
        if (!GetQueuedCompletionStatus(port, &message, &key, &detail, SETTLE_LIMIT_MS))
            break;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            settled = true;
            break;
        }
    }
    if (!settled) {
        TerminateJobObject(job, 1);
        std::fputs("launcher: programs started by the run did not end in time\n", stderr);
    }
    if (FILE* f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%lu %s\n", static_cast<unsigned long>(status),
                     settled ? "settled" : "unsettled");
        std::fclose(f);
    }
    return static_cast<int>(status & 0xFF);
}

// fake_platform.h - an in-memory stand-in for the platform layer, so that stages can be tested
// in-process: files live in a map, the console is captured, and the end of the process or the
// start of the merge batch is thrown as an exception that the test catches.
#pragma once

#include "platform.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// Thrown by the fake when the program ends the process.
struct ProcessEnded {
    int status;
};
// Thrown by the fake when the program replaces itself by a batch file that can start.
struct ProcessReplaced {
    std::string path;
};

struct FakeWorld {
    // Files by the program's own path ("\\QUARRINE\\TELVOX.MSG", "HOLIDAYS.KVL"). Contents are
    // text as the program reads it (line ends already single newlines).
    std::map<std::string, std::string> files;
    std::set<std::string> folders;    // paths of sub-folders, which search but never delete
    std::set<std::string> unopenable; // paths that fail to open in any mode
    std::set<std::string> read_only;  // paths that refuse deletion until made writable
    std::string console;
    std::string today = "12/07/26";
    std::vector<std::string> commands; // command lines run, in order
    int command_status = 0;
    std::vector<std::string> overlays; // batch files started in place of the process
    bool overlay_starts = true;        // false: the start fails and returns
};

// Installs itself as the platform while it lives, and puts the previous operations back after.
class FakePlatform {
  public:
    FakePlatform();
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    FakeWorld world;

  private:
    PlatformOps saved_;
};

// Runs body and returns the status with which it ended the process; fails the test when it
// returned instead.
template <typename Body> int exit_status_of(Body body);

#include <gtest/gtest.h>

template <typename Body> int exit_status_of(Body body) {
    try {
        body();
    } catch (const ProcessEnded& end) {
        return end.status;
    }
    ADD_FAILURE() << "the process did not end";
    return -1;
}

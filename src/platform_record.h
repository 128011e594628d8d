// platform_record.h - the platform of the run check: the program's stages run over it as they
// are, their reads reach the real files, and everything that would change something is written
// down as a report line instead of being done.
#pragma once

#include <string>

// How the foreseen run ends.
struct RunEnd {
    bool handed_over; // the process would have become the merge batch
    int status;       // otherwise, the status the process would end with
    bool ran_command; // the main updater would have been run
};

// Receives, where the run would end, the notes on files that other programs hold against the
// run's opens now, and the report lines in the order the run would do their effects. It must end
// the process itself.
using RecordFinish = void (*)(const std::string& held, const std::string& effects,
                              const RunEnd& end);

// Puts the recording platform in force. With folder_given the working directory is a folder
// that stands for the install folder \QUARRINE\ and holds the holiday calendar, so the
// program's root-relative names are looked up relative to it.
void record_start(bool folder_given, RecordFinish finish);

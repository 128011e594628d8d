// notices.h - the notice file, the program's only report channel for the user.
#pragma once

// The notice file, appended to by the notice writer and by the system message relay.
constexpr char NOTICE_FILE[] = "\\QUARRINE\\TELVOX.MSG";

// Appends one notice block for message. When the notice file cannot be opened it prints a
// text on the console and ends the process with status 0.
void ask_msg(const char* message);

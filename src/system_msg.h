// system_msg.h - the relay of the service's system message file into the notice file.
#pragma once

// The message file the service leaves for its subscribers; read, never changed.
constexpr char SYSTEM_MSG_FILE[] = "\\QUARRINE\\SYSTEM.MSG";

// Appends the lines of the system message file to the notice file as they are, without a
// notice block. Silent when either file cannot be opened; returns 0.
int process_system_msg();

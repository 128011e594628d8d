// settings_file.h - the settings stage: reads \QUARRINE\TELVOX.INI into the Settings record.
#pragma once

constexpr char SETTINGS_FILE[] = "\\QUARRINE\\TELVOX.INI";

// Reads every "KEY = value" line of the settings file into settings; 0 when read. When the
// file cannot be opened the run ends through crash.
int load_ini();

// tables_file.h - the commodity tables file: the loader that fills the commodity tables and
// stops the run with status 1 when the file is missing or malformed.
#pragma once

#include "globals.h"

// The commodity tables file, read before any other stage runs.
constexpr char TABLES_FILE[] = "\\QUARRINE\\TABLES.INI";

// Loads the commodity tables; returns 0 when the file has loaded. On any failure it writes a
// notice and ends the process with status 1.
int load_tables();

// Reads a numeric body line as the scan format "%d%c%d%c%d%c%d" does: four integers, each
// separated from the next by exactly one character of any kind. Returns the number of
// conversions (7 when all four numbers were read), or -1 when the text ended before the
// first one. Numbers are stored as they are converted; those that do not fit saturate.
int scan_four_ints(const char* line, int out[4]);

// Reads an all_tag body line as the scan format "%13s%c%13s%c%13s%c%13s" does: four words of
// at most 13 non-blank characters; the character after each word is passed over as the
// separator, even when it is the 14th of a longer word. Returns the count as scan_four_ints.
int scan_four_words(const char* line, char out[4][TAG_SLOT]);

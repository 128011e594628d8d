// fuzz_platform.h - the in-memory platform behind the fuzz targets: files come from a map, the
// console is captured, and the end of the process is thrown so that one input cannot stop the
// fuzzer. Has no test framework behind it.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Thrown when the program ends the process, or replaces it by a batch file that exists.
struct FuzzEnd {
    int status;    // the exit status; 0 for a replaced process
    bool replaced; // the process became the batch file
};

struct FuzzWorld {
    std::map<std::string, std::string> files; // by the program's own path
    std::string console;
    std::size_t read_chunk = 1 << 16; // the most one read delivers, to move buffer refills about
};

// The world of the current input.
extern FuzzWorld fuzz_world;

// Installs the in-memory platform (once) and starts a fresh world: no files, empty console,
// every open file of the previous input released. Also puts the program-wide state back to
// its start values, as a new process would have it.
void fuzz_reset();

// Stops the fuzzer with a finding when cond is false: a broken property of the reader.
void fuzz_check(bool cond, const char* what);

// A short, varying read size derived from the input, so that the same content meets the
// reader's buffer refills at different places.
std::size_t fuzz_chunk_for(const std::uint8_t* data, std::size_t size);

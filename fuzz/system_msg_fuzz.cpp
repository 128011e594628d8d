// system_msg_fuzz.cpp - the system message relay: for any content the notice file grows by
// exactly the pieces that the line rule lets through (each written as a string), after what
// it held before, and the message file stays as it was.
#include "fuzz_platform.h"
#include "notices.h"
#include "reference.h"
#include "system_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    fuzz_world.read_chunk = fuzz_chunk_for(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string before = "\n***** an earlier notice\n    ";
    fuzz_world.files[SYSTEM_MSG_FILE] = content;
    fuzz_world.files[NOTICE_FILE] = before;

    std::string expected = before;
    for (const std::string& piece : line_rule_pieces(content, 149))
        expected += as_string(piece);
    try {
        process_system_msg();
    } catch (const FuzzEnd&) {
        fuzz_check(false, "the relay never ends the run");
    }
    fuzz_check(fuzz_world.files[NOTICE_FILE] == expected, "the notice file grew by the lines");
    fuzz_check(fuzz_world.files[SYSTEM_MSG_FILE] == content, "the message file is only read");
    return 0;
}

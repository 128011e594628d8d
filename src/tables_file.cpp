// tables_file.cpp - the commodity tables file: the count line, then the seven tables, each a
// header and a body, validated as soon as it is read.
#include "tables_file.h"

#include "c_locale.h"
#include "notices.h"
#include "platform.h"
#include "text_reader.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t HEADER_MAX = 149;          // count line and header lines
constexpr std::size_t BODY_MAX = 99;             // table body lines
constexpr std::size_t HEADER_BRACKET_LIMIT = 30; // the ']' must stand within this many characters

constexpr char MISSING_FILE[] = "ERROR -  FILE \" TABLES.INI\" MISSING FROM \\QUARRINE FOLDER.";
constexpr char MISSING_COUNT[] = "SUPPORT FILE \"TABLES.INI\" IS MISSING LINE ENTRY: [numcom]";
constexpr char TOO_FEW_TABLES[] = "SUPPORT FILE \"TABLES.INI\" DOES NOT CONTAIN 7 TABLES";
constexpr char BAD_HEADER[] = "INVALID TABLE HEADER IN FILE \"TABLES.INI\"";
constexpr char BAD_COUNT[] = "ERROR - INVALID numcom ENTRY IN \"TABLES.INI\" FILE";
constexpr char BAD_LINE[] = "ERROR-LINE %d IN TABLE %s INVALID";

// The message for a broken value rule, by table index; nullptr where there is no rule.
constexpr const char* BAD_VALUE[NUM_TABLES] = {
    nullptr,
    "ERROR - INVALID roll_month ENTRY IN \"TABLES.INI\" FILE",
    "ERROR - INVALID precision ENTRY IN \"TABLES.INI\" FILE",
    "ERROR - INVALID bytes ENTRY IN \"TABLES.INI\" FILE",
    "ERROR - INVALID compu_trac ENTRY IN \"TABLES.INI\" FILE",
    nullptr,
    "ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE",
};

enum TableIndex { ROLL_DAY, ROLL_MONTH, PRECISION, BYTES, COMPU_TRAC, MYNAMES, ALL_TAG };

// The reader is large; it lives here rather than on the stack.
TextReader reader;

// The outcome of one scan directive.
enum class Step { converted, mismatch, ended };

// "%d": blanks skipped, optional sign, at least one digit.
Step scan_int(const char*& p, int& out) {
    while (is_c_space(*p))
        ++p;
    if (*p == '\0')
        return Step::ended;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (!is_c_digit(*p))
        return Step::mismatch;
    out = digits_value(p, negative);
    return Step::converted;
}

// "%13s": blanks skipped, then up to 13 non-blank characters.
Step scan_word(const char*& p, char* out) {
    while (is_c_space(*p))
        ++p;
    if (*p == '\0')
        return Step::ended;
    int n = 0;
    while (n < TAG_SLOT - 1 && *p != '\0' && !is_c_space(*p))
        out[n++] = *p++;
    out[n] = '\0';
    return Step::converted;
}

// Runs four conversions with a "%c" between each two, counting as the runtime's scan does:
// it stops at the first failure, and the text ending before the first conversion gives -1.
template <typename Convert> int scan_four(const char* p, Convert convert) {
    int count = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p == '\0')
                return count;
            ++p; // "%c": any one character, blank or not
            ++count;
        }
        Step step = convert(p, i);
        if (step == Step::ended)
            return count == 0 ? -1 : count;
        if (step == Step::mismatch)
            return count;
        ++count;
    }
    return count;
}

// Ends the load with a notice. Once a read of the file has failed, whatever went wrong after it
// says only that the file could not be read, which is reported as a file that cannot be opened.
[[noreturn]] void fail(const char* message) {
    text_close(reader);
    ask_msg(reader.failed ? MISSING_FILE : message);
    plat_exit(1);
}

// The table a header name selects: the first whose name begins with it, without regard to
// case; -1 when none does. A name longer than a table's name never matches it.
int select_table(const char* name, std::size_t len) {
    for (int t = 0; t < NUM_TABLES; ++t) {
        const char* table = tables[t];
        std::size_t i = 0;
        while (i < len && table[i] != '\0' && ascii_lower(name[i]) == ascii_lower(table[i]))
            ++i;
        if (i == len)
            return t;
    }
    return -1;
}

int* numeric_table(int t) {
    switch (t) {
    case ROLL_DAY:
        return roll_day;
    case ROLL_MONTH:
        return roll_month;
    case PRECISION:
        return precision;
    case BYTES:
        return bytes;
    default:
        return compu_trac;
    }
}

bool value_ok(int t, int v) {
    switch (t) {
    case ROLL_MONTH:
        return v == 0 || v == 1;
    case PRECISION:
    case COMPU_TRAC:
        return v >= -7 && v <= 7;
    case BYTES:
        return v >= 2 && v <= 4;
    default:
        return true;
    }
}

// Reads the next body line. The end of the file is not tested: a read that finds nothing
// leaves line as it was, so the last text read stands in for every line the file no longer
// has.
void read_body_line(char* line) {
    text_read(reader, line, BODY_MAX);
}

// A numeric table: one line per four commodities, each checked for all seven conversions as
// it is read; the value rule runs over the whole table afterwards.
void load_numeric(int t, int count, char* line) {
    int* values = numeric_table(t);
    int lines = (count + 3) / 4;
    for (int k = 0; k < lines; ++k) {
        int line_count = k + 1;
        read_body_line(line);
        if (scan_four_ints(line, values + std::ptrdiff_t{4} * k) != 7) {
            char message[64];
            // NOLINTNEXTLINE(cert-err33-c): room for any int and table name; length not needed
            std::snprintf(message, sizeof message, BAD_LINE, line_count, tables[t]);
            fail(message);
        }
    }
    for (int i = 0; i < count; ++i)
        if (!value_ok(t, values[i]))
            fail(BAD_VALUE[t]);
}

// One name per commodity: the line as read, its newline included, padded with spaces and cut
// to 16 characters; the ticker is its first two.
void load_names(int count, char* line) {
    for (int i = 0; i < count; ++i) {
        read_body_line(line);
        std::size_t n = std::strlen(line);
        for (std::size_t c = 0; c < 16; ++c)
            mynames[i][c] = c < n ? line[c] : ' ';
        mynames[i][16] = '\0';
        ticker[i][0] = mynames[i][0];
        ticker[i][1] = mynames[i][1];
        ticker[i][2] = '\0';
    }
}

// The month letters of a tag: characters 2 to 13, keeping each that comes later in the
// alphabet than the last one kept.
void derive_active_months(const char* tag, char* months) {
    int n = 0;
    months[n++] = tag[1];
    for (int c = 2; c <= 12; ++c)
        if (tag[c] > months[n - 1])
            months[n++] = tag[c];
    months[n] = '\0';
}

// Tags, four to a line. A word the line lacks leaves that commodity's tag as it was; the
// letter rule then rejects an empty tag.
void load_tags(int count, char* line) {
    int lines = (count + 3) / 4;
    for (int k = 0; k < lines; ++k) {
        read_body_line(line);
        scan_four_words(line, all_tag + std::ptrdiff_t{4} * k);
    }
    for (int i = 0; i < count; ++i)
        for (int c = 1; c <= 12; ++c)
            if (all_tag[i][c] < 'A' || all_tag[i][c] > 'Z')
                fail(BAD_VALUE[ALL_TAG]);
    for (int i = 0; i < count; ++i)
        derive_active_months(all_tag[i], active_months[i]);
}

bool begins_with_count(const char* line) {
    const char key[] = "[numcom";
    for (std::size_t i = 0; key[i] != '\0'; ++i)
        if (ascii_lower(line[i]) != key[i])
            return false;
    return true;
}

} // namespace

int scan_four_ints(const char* line, int out[4]) {
    return scan_four(line, [out](const char*& p, int i) { return scan_int(p, out[i]); });
}

int scan_four_words(const char* line, char out[4][TAG_SLOT]) {
    return scan_four(line, [out](const char*& p, int i) { return scan_word(p, out[i]); });
}

int load_tables() {
    if (!text_open(reader, TABLES_FILE))
        fail(MISSING_FILE);

    // One buffer serves the count line, the headers and the bodies, so that a body the file no
    // longer has is whatever was read last, even a header.
    char line[HEADER_MAX + 1] = "";

    // The count line; everything before it is ignored.
    for (;;) {
        if (!read_line(reader, line, HEADER_MAX))
            fail(MISSING_COUNT);
        if (begins_with_count(line))
            break;
    }
    const char* eq = std::strchr(line + 1, '=');
    if (eq != nullptr) {
        const char* p = eq + 1;
        while (*p == ' ')
            ++p;
        numcom = decimal_value(p);
    } else {
        numcom = 0;
    }
    // The tables hold no more than their capacity; a larger count is refused here, before
    // anything is written into them.
    if (numcom > MAXCOMMODITIES)
        fail(BAD_COUNT);
    int count = numcom < 0 ? 0 : numcom;

    int table_count = 0;
    while (read_line(reader, line, HEADER_MAX)) {
        std::size_t len = std::strlen(line);
        if (len < 6 || line[0] != '[')
            continue;
        std::size_t limit = len < HEADER_BRACKET_LIMIT ? len : HEADER_BRACKET_LIMIT;
        const char* close = static_cast<const char*>(std::memchr(line, ']', limit));
        if (close == nullptr)
            fail(BAD_HEADER);
        int t = select_table(line + 1, static_cast<std::size_t>(close - line - 1));
        if (t < 0)
            continue;
        if (t == MYNAMES)
            load_names(count, line);
        else if (t == ALL_TAG)
            load_tags(count, line);
        else
            load_numeric(t, count, line);
        ++table_count;
    }
    if (reader.failed)
        fail(MISSING_FILE);
    text_close(reader);
    if (table_count < NUM_TABLES)
        fail(TOO_FEW_TABLES);
    return 0;
}

// settings_file.cpp - the settings reader: "KEY = value" lines, upper-cased, matched against a
// fixed key table; unknown keys and malformed lines are passed over.
#include "settings_file.h"

#include "abort.h"
#include "c_locale.h"
#include "globals.h"
#include "lotus_dates.h"
#include "text_reader.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr std::size_t LINE_MAX_CHARS = 189;
constexpr char OPEN_FAILED[] = " ERROR, could not open the initialization file TELVOX.INI ";

// The '=' must stand at a position from 3 to 30, so a key has at least three characters.
constexpr std::size_t EQUALS_FIRST = 3;
constexpr std::size_t EQUALS_LAST = 30;

enum class Effect { number, ignored, directory, text, flag, date };

struct KeyRule {
    const char* key;
    Effect effect;
    char* text;       // the text field, for directory, text and date
    std::size_t size; // its size, string end included
    int* number;      // the integer field, for number
};

// The key table, in the order the keys are matched.
const KeyRule left_side[] = {
    {"SPARE1", Effect::number, nullptr, 0, &settings.spare1},
    {"SPARE2", Effect::number, nullptr, 0, &settings.spare2},
    {"MODEM SPEED", Effect::ignored, nullptr, 0, nullptr},
    {"COM PORT", Effect::ignored, nullptr, 0, nullptr},
    {"MODEM DIAL MODE", Effect::ignored, nullptr, 0, nullptr},
    {"UPDATE DIRECTORY", Effect::directory, settings.update_directory,
     sizeof settings.update_directory, nullptr},
    {"BULLETIN DIRECTORY", Effect::directory, settings.bulletin_directory,
     sizeof settings.bulletin_directory, nullptr},
    {"COMM FLAGS", Effect::text, settings.comm_flags, sizeof settings.comm_flags, nullptr},
    {"DIAL NUMBER", Effect::ignored, nullptr, 0, nullptr},
    {"USER ID", Effect::text, settings.userid, sizeof settings.userid, nullptr},
    {"USER PASSWORD", Effect::text, settings.password, sizeof settings.password, nullptr},
    {"PORT ADDRESS", Effect::ignored, nullptr, 0, nullptr},
    {"PORT IRQ", Effect::ignored, nullptr, 0, nullptr},
    {"MODEM CODES", Effect::ignored, nullptr, 0, nullptr},
    {"EXTENDED CONTRACTS", Effect::flag, nullptr, 0, nullptr},
    {"ASCII PATH", Effect::text, settings.xascii_path, sizeof settings.xascii_path, nullptr},
    {"META PATH", Effect::text, settings.xmeta_path, sizeof settings.xmeta_path, nullptr},
    {"ASCII MASK", Effect::text, settings.xascii_mask, sizeof settings.xascii_mask, nullptr},
    {"META MASK", Effect::text, settings.xmeta_mask, sizeof settings.xmeta_mask, nullptr},
    {"DATA FORMAT", Effect::text, settings.xdata_format, sizeof settings.xdata_format, nullptr},
    {"EU LAST DATE", Effect::date, settings.xeulast, sizeof settings.xeulast, nullptr},
    {"USERCD", Effect::text, settings.xusercd, sizeof settings.xusercd, nullptr},
};

// Copies value into a field of the given size, cut to what fits before the string end.
void copy_cut(char* field, std::size_t size, const char* value) {
    std::size_t len = std::strlen(value);
    if (len > size - 1)
        len = size - 1;
    std::memcpy(field, value, len);
    field[len] = '\0';
}

// A directory value must end with '\'. When one has to be appended, the value is first cut so
// that the '\' still fits; a value that already ends with it is kept as it is.
void copy_directory(char* field, std::size_t size, const char* value) {
    copy_cut(field, size, value);
    std::size_t len = std::strlen(field);
    if (len > 0 && field[len - 1] == '\\')
        return;
    if (len > size - 2)
        len = size - 2;
    field[len] = '\\';
    field[len + 1] = '\0';
}

void apply(const KeyRule& rule, const char* value) {
    switch (rule.effect) {
    case Effect::number:
        *rule.number = decimal_value(value);
        break;
    case Effect::ignored:
        break;
    case Effect::directory:
        copy_directory(rule.text, rule.size, value);
        break;
    case Effect::text:
        copy_cut(rule.text, rule.size, value);
        break;
    case Effect::flag:
        settings.extraclc_flag = value[0];
        settings.xextended_cont = value[0];
        break;
    case Effect::date:
        settings.eu_last_date = date_scan(value);
        copy_cut(rule.text, rule.size, value);
        break;
    }
}

// Splits one upper-cased line into key and value and applies it when the key is known.
void take_line(char* line) {
    if (line[0] == '*' && line[1] == '*')
        return;
    std::size_t len = std::strlen(line);
    if (len <= 2)
        return;
    const char* equals = std::strchr(line + 2, '=');
    if (equals == nullptr)
        return;
    std::size_t pos = static_cast<std::size_t>(equals - line);
    if (pos < EQUALS_FIRST || pos > EQUALS_LAST)
        return;

    // Only spaces are trimmed: a tab stays part of the key, and begins the value.
    char key[EQUALS_LAST + 1];
    std::size_t key_len = pos;
    while (key_len > 0 && line[key_len - 1] == ' ')
        --key_len;
    std::memcpy(key, line, key_len);
    key[key_len] = '\0';

    char value[LINE_MAX_CHARS + 1];
    const char* from = equals + 1;
    while (*from == ' ')
        ++from;
    std::size_t value_len = 0;
    while (from[value_len] != '\0' && from[value_len] != ceol)
        ++value_len;
    std::memcpy(value, from, value_len);
    value[value_len] = '\0';

    for (const KeyRule& rule : left_side) {
        if (std::strcmp(key, rule.key) == 0) {
            apply(rule, value);
            return;
        }
    }
}

} // namespace

int load_ini() {
    settings.extraclc_flag = 'N';
    static TextReader reader; // static: its buffer is too large for the stack
    if (!text_open(reader, SETTINGS_FILE))
        crash(OPEN_FAILED);
    char line[LINE_MAX_CHARS + 1];
    for (;;) {
        std::memset(line, 0, sizeof line);
        text_read(reader, line, LINE_MAX_CHARS);
        // Unlike the other readers, a last line without a line end is still taken.
        if (reader.failed || (reader.eof && line[0] == '\0'))
            break;
        for (char* c = line; *c != '\0'; ++c) {
            *c = ascii_upper(*c);
        }
        take_line(line);
    }
    // Settings taken from part of the file are no settings: a failed read stops the run as a
    // missing file does.
    bool failed = reader.failed;
    text_close(reader);
    if (failed)
        crash(OPEN_FAILED);
    return 0;
}

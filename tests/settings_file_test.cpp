// Tests of the settings reader: lines in, the whole Settings record out.
#include "settings_file.h"

#include "fake_platform.h"
#include "globals.h"
#include "notices.h"
#include "sandbox.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>

namespace {

// Every field that differs from its start value, plus extraclc_flag, as "name=value;".
std::string describe(const Settings& s) {
    std::string out;
    auto text = [&out](const char* name, const char* value) {
        if (*value != '\0')
            out += std::string(name) + "=" + value + ";";
    };
    auto flag = [](char c) { return c == '\0' ? std::string("\\0") : std::string(1, c); };
    if (s.spare1 != 0)
        out += "spare1=" + std::to_string(s.spare1) + ";";
    if (s.spare2 != 0)
        out += "spare2=" + std::to_string(s.spare2) + ";";
    text("update_directory", s.update_directory);
    text("bulletin_directory", s.bulletin_directory);
    text("comm_flags", s.comm_flags);
    text("userid", s.userid);
    text("password", s.password);
    out += "extraclc_flag=" + flag(s.extraclc_flag) + ";";
    out += "xextended_cont=" + flag(s.xextended_cont) + ";";
    text("xascii_path", s.xascii_path);
    text("xmeta_path", s.xmeta_path);
    text("xascii_mask", s.xascii_mask);
    text("xmeta_mask", s.xmeta_mask);
    text("xdata_format", s.xdata_format);
    if (s.eu_last_date != 0)
        out += "eu_last_date=" + std::to_string(s.eu_last_date) + ";";
    text("xeulast", s.xeulast);
    text("xusercd", s.xusercd);
    return out;
}

// What an untouched file leaves: only the flag set before reading.
const std::string BASE = "extraclc_flag=N;xextended_cont=\\0;";

std::string read_settings(const std::string& file) {
    FakePlatform fake;
    fake.world.files[SETTINGS_FILE] = file;
    settings = Settings{};
    ceol = '\n';
    EXPECT_EQ(load_ini(), 0);
    return describe(settings);
}

TEST(LoadIni, Lines) {
    const std::string pad23(23, ' ');
    const std::string long_dir = "C:\\" + std::string(57, 'D');
    const std::string dir49 = "C:\\" + std::string(45, 'D') + "\\";
    struct Case {
        std::string file;
        std::string want;
    };
    const Case cases[] = {
        {"", BASE},
        {"user id = abc123\n", "userid=ABC123;" + BASE},
        {"UPDATE DIRECTORY = C:\\DATA\n", "update_directory=C:\\DATA\\;" + BASE},
        {"UPDATE DIRECTORY = C:\\DATA\\\n", "update_directory=C:\\DATA\\;" + BASE},
        {"BULLETIN DIRECTORY =\n", "bulletin_directory=\\;" + BASE},
        {"USERID=X\n", BASE},
        {"USER ID=X\n", "userid=X;" + BASE},
        {"ID=X\n", BASE},
        {"\n=\nA=\nUSER ID = Y\n", "userid=Y;" + BASE},   // lines too short for a key
        {"USER ID" + pad23 + "=X\n", "userid=X;" + BASE}, // '=' at position 30
        {"USER ID" + pad23 + " =X\n", BASE},              // '=' at position 31
        {"  USER ID = X\n", BASE},                        // spaces before the key
        {"USER ID\t= X\n", BASE},                         // a tab stays in the key
        {"USER ID =\tX\n", "userid=\tX;" + BASE},         // and begins the value
        {"USER ID = X  \n", "userid=X  ;" + BASE},        // trailing spaces stay
        {"**USER ID = X\n", BASE},
        {"EXTENDED CONTRACTS = yes\n", "extraclc_flag=Y;xextended_cont=Y;"},
        {"EXTENDED CONTRACTS =\n", "extraclc_flag=\\0;xextended_cont=\\0;"},
        {"EU LAST DATE = 12/31/99\n", BASE + "eu_last_date=36525;xeulast=12/31/99;"},
        {"EU LAST DATE = none\n", BASE + "xeulast=NONE;"},
        {"USER ID = FIRST\nUSER ID = second\n", "userid=SECOND;" + BASE},
        {"USERCD = AB12", BASE + "xusercd=AB12;"}, // no line end
        {"SPARE1 = -12\nSPARE2 = 99999999999\n",
         "spare1=-12;spare2=" + std::to_string(INT_MAX) + ";" + BASE},
        {"SPARE1 = X\n", BASE},
        {"MODEM SPEED = 57600\nCOM PORT = 2\nDIAL NUMBER = 555\nPORT IRQ = 5\n", BASE},
        {"COMM FLAGS = 0\nUSER PASSWORD = pw\n", "comm_flags=0;password=PW;" + BASE},
        {"ASCII PATH = c:\\a\nMETA PATH = c:\\m\nASCII MASK = *.a\nMETA MASK = *.m\n"
         "DATA FORMAT = csv\n",
         BASE + "xascii_path=C:\\A;xmeta_path=C:\\M;xascii_mask=*.A;xmeta_mask=*.M;"
                "xdata_format=CSV;"},
        // A line longer than a read arrives in pieces, each taken as a line of its own.
        {std::string(189, '*') + "USER ID = B\n", "userid=B;" + BASE},
        // Values longer than their fields are cut to fit.
        {"USER ID = " + std::string(25, 'u') + "\nUSERCD = ABCDEFG\n",
         "userid=" + std::string(19, 'U') + ";" + BASE + "xusercd=ABCD;"},
        {"EU LAST DATE = 12/31/99" + std::string(30, ' ') + "\n",
         BASE + "eu_last_date=36525;xeulast=12/31/99" + std::string(11, ' ') + ";"},
        {"UPDATE DIRECTORY = " + long_dir + "\n",
         "update_directory=" + long_dir.substr(0, 48) + "\\;" + BASE},
        {"UPDATE DIRECTORY = " + dir49 + "\n", "update_directory=" + dir49 + ";" + BASE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(read_settings(c.file), c.want) << "file: \"" << c.file << '"';
}

TEST(LoadIni, TheInstalledFile) {
    const char* file = "UPDATE DIRECTORY = C:\\QUARRINE\\UPDATES\n"
                       "BULLETIN DIRECTORY = C:\\QUARRINE\\\n"
                       "USER ID = demo01\n"
                       "*****WARNING-DO NOT CHANGE ANY OF THE FOLLOWING LINES*****\n"
                       "EXTENDED CONTRACTS = N\n"
                       "EU LAST DATE = 02/11/21\n";
    EXPECT_EQ(read_settings(file), "update_directory=C:\\QUARRINE\\UPDATES\\;"
                                   "bulletin_directory=C:\\QUARRINE\\;userid=DEMO01;"
                                   "extraclc_flag=N;xextended_cont=N;eu_last_date=44238;"
                                   "xeulast=02/11/21;");
}

TEST(LoadIni, MissingFileEndsTheRunWithANotice) {
    FakePlatform fake;
    settings = Settings{};
    EXPECT_EQ(exit_status_of([] { load_ini(); }), 0);
    EXPECT_EQ(fake.world.files[NOTICE_FILE],
              notice_block("ERROR, could not open the initialization file TELVOX.INI "));
    EXPECT_EQ(fake.world.files.size(), 1u); // no merge batch
    EXPECT_TRUE(fake.world.overlays.empty());
    EXPECT_EQ(settings.extraclc_flag, 'N');
}

} // namespace

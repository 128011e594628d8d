// zelmorth.cpp - the program's entry: the stages in their fixed order, then the main updater
// in merge mode. Any stage may end the process early through its own abort path.
#include "zelmorth.h"

#include "globals.h"
#include "holidays_file.h"
#include "logweb_check.h"
#include "platform.h"
#include "settings_file.h"
#include "system_msg.h"
#include "tables_file.h"
#include "update_cleanup.h"

void run_sequence() {
    ceol = '\n';
    load_tables();
    plat_remove("\\QUARRINE\\TELVOX.LOG");
    plat_remove("\\QUARRINE\\TEMPZIP.BAT");
    delete_zero_files();
    load_ini();
    load_holidays();
    plat_remove("\\QUARRINE\\UPDATES\\SYMBOLS.TXT");
    process_system_msg();
    check_logweb();
    plat_run_command("TELVOX.EXE /M"); // its result is not looked at
    plat_exit(0);
}

int main() {
    run_sequence();
}

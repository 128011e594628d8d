// platform_posix.h - inside the POSIX platform, for its own tests: the date text that today's
// date is given as.
#pragma once

#include <ctime>

// The local date as "MM/DD/YY": two digits each, the year within its century.
void date_text(const std::tm& local, char out[9]);

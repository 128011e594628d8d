// logweb_check.h - the check of the web transfer log for refused passwords.
#pragma once

// The domain name of the service's download server; every transfer line of the log holds it.
constexpr char DOWNLOAD_HOST[] = "download.quarrine.example";

// The web transfer log written during the download; read, never changed.
constexpr char LOGWEB_FILE[] = "\\QUARRINE\\LOGWEB.TXT";

// Writes one notice for every refused log-in in the web transfer log, naming the data area of
// the last transfer line before it ("NONE" before any). A missing log does nothing; returns 0.
int check_logweb();

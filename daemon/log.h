// The daemon's own log: one line per call, appended to a file in the working directory.
//
// A line reads "<local time> [<level>]\t[<source file>,<function>,<line>]:\t[<pid>] <message>".
// The file is opened, written with one call and closed for every line, so the main thread and
// the tunnel's event thread may both log without a lock (the file is opened for appending).
#pragma once

#include <string>

// Path of the log file: "./logfile" until start-up sets "<working directory>/log".
extern std::string logname;
// Process ID printed in every line; start-up sets it before the daemon detaches, so the lines
// show the ID of the process that was started.
extern int pid;
// Level names by index; every line uses index 0.
extern const char* const log_str[4];

// Writes one line. Messages longer than the line buffer (4 KiB) are cut.
void kelvard_log(const char* lpszFile, const char* lpszFunc, int iLine, const char* lpszFmt, ...)
    __attribute__((format(printf, 4, 5)));

// A text from outside (a request, a library event) made fit for one log line: control
// characters become "\xNN", and it is cut to uMax bytes.
std::string kelvard_log_safe(const char* lpsz, size_t uLen, size_t uMax = 512);
std::string kelvard_log_safe(const std::string& str, size_t uMax = 512);

#define KLOG(...) kelvard_log(__FILE__, __func__, __LINE__, __VA_ARGS__)

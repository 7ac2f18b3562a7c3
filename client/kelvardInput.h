// The client's terminal input: lines, passwords without echo, and "host:port" texts.
#pragma once

#include <signal.h>
#include <termios.h>

#include <cstddef>

// Terminal attributes of standard input at start, restored on exit and after a password.
extern struct termios kelvard_tm_old;
// Set once kelvard_tm_old holds attributes (standard input is a terminal).
extern volatile sig_atomic_t kelvard_tm_saved;

// Reads one line into the buffer (at most uSize - 1 bytes; the rest of a longer line is
// dropped), without the spaces, tabs, CR and LF at both ends. False at end of input.
bool GetInput(char* lpszBuf, size_t uSize);

// Reads a password with echo off, printing '*' per character kept, until a newline or until
// the buffer is full (the rest of the line is dropped). The prompt, when given, is printed
// once echo is off, so that nothing typed ahead shows. False at end of input.
bool GetPassInput(char* lpszBuf, size_t uSize, const char* lpszPrompt = nullptr);

// Splits "host:port" at the last ':' (when it is not the first character): the host into the
// cleared buffer, the port read as a decimal number. Otherwise the whole text is the host and
// the port 0.
void get_ip_and_port(const char* lpszText, char* lpszHost, size_t uHostSize, long* plPort);

// Prints a prompt (no newline) so that it shows at once.
void kelvard_prompt(const char* lpszText);

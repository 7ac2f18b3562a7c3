// Whole-file reads and crash-safe rewrites of the daemon's own files.
#pragma once

#include <sys/types.h>

#include <string>

// Reads a regular file of at most uMaxSize bytes. False when it cannot be opened or read, or
// is larger (*pOut is then empty).
bool kelvard_read_file(const std::string& strPath, std::string* pOut, size_t uMaxSize = 1 << 20);

// Replaces a file's content as one step: the text goes to a new file in the same directory,
// which is flushed to disk and then renamed over the old one. A crash or a full disk leaves
// either the old or the new content, never a cut one. The file gets the given mode. False on
// any failure (the old file is then unchanged and no temporary file is left).
bool kelvard_write_file_atomic(const std::string& strPath, const std::string& strText, mode_t mode);

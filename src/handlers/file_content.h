// Reading file content for TEST-FileCompare and TEST-FileCRC: comparing two files, finding a text
// or another file's content inside a file, and the CRC-32 checksum. Only regular files are read
// (fileutils/file_reader.h), in large blocks; memory follows the searched text, not the file.
#pragma once

#include <cstdint>

#include "foundation/string.h"

// The largest second file whose content FindFileInFile looks for: 8 MiB.
constexpr int64_t kMaxFileInFile = 8388608;

// 1 when the bytes the two files have in common (the length of the shorter) are equal, 0 when
// they differ, -1 when either cannot be opened or read. A file equal to the beginning of the
// other, or an empty one, compares equal: sizes are compared separately.
int CompareFiles(const String& first, const String& second);

// Positive when the bytes of `what` occur in the file at `path`, 0 when they do not, -1 on any
// error (empty `what` or path, a file that cannot be opened or read). caseSensitive 0 ignores
// ASCII case. With wholeWord, an occurrence counts only when neither the byte before it nor the
// byte after it in the file is an ASCII letter or digit. Occurrences across the blocks read are
// found like any other.
double FindStrInFile(const String& path, const String& what, int caseSensitive, int wholeWord);

// Whether the whole content of file `second` occurs in file `first` (case-sensitive), as for
// FindStrInFile. An empty second file is found (1); an empty name, a second file that cannot be
// read or one larger than kMaxFileInFile give -1.
double FindFileInFile(const String& first, const String& second);

// The CRC-32 register (started at 0xFFFFFFFF, not inverted at the end) over the whole content of
// the file at `path`. False with the reason in `message`: "File is not specified", "Cannot open
// file" (missing, unreadable, or not a regular file) or "Read error".
bool GetFileCRC(const String& path, uint32_t& crc, String& message);

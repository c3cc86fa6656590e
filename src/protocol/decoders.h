// Typed readings of request parameter text: booleans, integers, 64-bit counts (carried as double),
// reals and 14-digit times. Each exists for a NUL-terminated text (null reads as empty) and for a
// String, which is read up to its first NUL byte.
#pragma once

#include <ctime>

#include "foundation/string.h"

// True exactly for the text "1".
bool qdxDecodeBool(const char* text);
bool qdxDecodeBool(const String& text);

// The atoi value (0 when there are no leading digits).
int qdxDecodeInt(const char* text);
int qdxDecodeInt(const String& text);
// False, leaving value alone, unless every byte is a digit or '-' (isdecimalnum; the empty text
// passes as 0); otherwise stores the atoi value.
bool qdxDecodeInt(const char* text, int& value);
bool qdxDecodeInt(const String& text, int& value);

// Counts and sizes above 32 bits travel as decimal text and are read as double (exact up to 2^53).
double qdxDecodeInt64(const char* text);
double qdxDecodeInt64(const String& text);
// As the checked qdxDecodeInt.
bool qdxDecodeInt64(const char* text, double& value);
bool qdxDecodeInt64(const String& text, double& value);

// The atof value.
double qdxDecodeReal(const char* text);
double qdxDecodeReal(const String& text);

// DDMMYYYYhhmmss. Unlike a struct tm from the C library, tm_mon holds the month as written (1 to
// 12) and tm_year the full year (the wire convention QDXReply::AddTimeParam takes back); the
// digits are not validated. Any length other than 14 gives an all-zero record.
tm qdxDecodeTime(const char* text);
tm qdxDecodeTime(const String& text);

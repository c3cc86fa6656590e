// The character hooks of the path vocabulary. Characters are single bytes: nothing is ever a
// lead byte of a longer character.
#pragma once

#include "foundation/string.h"

inline bool isLeadByte(char) {
    return false;
}
inline int StrCharLength(const char*) {
    return 1;
}
// 0: a single-byte character.
inline int ByteType(const char*, int) {
    return 0;
}
inline int ByteType(const String&, int) {
    return 0;
}
inline const char* StrNextChar(const char* p) {
    return p + 1;
}
inline char* StrNextChar(char* p) {
    return p + 1;
}

// The first occurrence of `sub` in `s`, or null (a plain substring search).
char* AnsiStrPos(char* s, char* sub);
// 1-based position of the first occurrence of `sub` in `s`; 0 when absent.
int AnsiPos(char* sub, char* s);

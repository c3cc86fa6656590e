#include "fileutils/char_hooks.h"

#include <cstring>

char* AnsiStrPos(char* s, char* sub) {
    if (s == nullptr || sub == nullptr) return nullptr;
    return std::strstr(s, sub);
}

int AnsiPos(char* sub, char* s) {
    char* hit = AnsiStrPos(s, sub);
    return hit ? static_cast<int>(hit - s) + 1 : 0;
}

#include "protocol/decoders.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The String's bytes up to its first NUL as a C string; a String is not zero-terminated by itself.
String Terminated(const String& text) {
    String copy(text);
    copy.SetZero();
    return copy;
}

const char* CText(const String& terminated) {
    return OrEmpty(terminated.Data());
}

// atoi without its undefined behaviour on overflow: the long value cut to int, as glibc does.
int AtoI(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

int Digits(const char* p, int count) {
    int value = 0;
    for (int i = 0; i < count; i++) value = value * 10 + (p[i] - '0');
    return value;
}

}  // namespace

bool qdxDecodeBool(const char* text) {
    return std::strcmp(OrEmpty(text), "1") == 0;
}
bool qdxDecodeBool(const String& text) {
    return qdxDecodeBool(CText(Terminated(text)));
}

int qdxDecodeInt(const char* text) {
    return AtoI(OrEmpty(text));
}
int qdxDecodeInt(const String& text) {
    return qdxDecodeInt(CText(Terminated(text)));
}

bool qdxDecodeInt(const char* text, int& value) {
    text = OrEmpty(text);
    if (!isdecimalnum(text)) return false;
    value = AtoI(text);
    return true;
}

bool qdxDecodeInt(const String& text, int& value) {
    return qdxDecodeInt(CText(Terminated(text)), value);
}

double qdxDecodeInt64(const char* text) {
    return std::strtod(OrEmpty(text), nullptr);
}
double qdxDecodeInt64(const String& text) {
    return qdxDecodeInt64(CText(Terminated(text)));
}

bool qdxDecodeInt64(const char* text, double& value) {
    text = OrEmpty(text);
    if (!isdecimalnum(text)) return false;
    value = std::strtod(text, nullptr);
    return true;
}

bool qdxDecodeInt64(const String& text, double& value) {
    return qdxDecodeInt64(CText(Terminated(text)), value);
}

double qdxDecodeReal(const char* text) {
    return std::strtod(OrEmpty(text), nullptr);
}
double qdxDecodeReal(const String& text) {
    return qdxDecodeReal(CText(Terminated(text)));
}

tm qdxDecodeTime(const char* text) {
    tm result{};
    text = OrEmpty(text);
    if (std::strlen(text) != 14) return result;
    result.tm_mday = Digits(text, 2);
    result.tm_mon = Digits(text + 2, 2);
    result.tm_year = Digits(text + 4, 4);
    result.tm_hour = Digits(text + 8, 2);
    result.tm_min = Digits(text + 10, 2);
    result.tm_sec = Digits(text + 12, 2);
    return result;
}

tm qdxDecodeTime(const String& text) {
    return qdxDecodeTime(CText(Terminated(text)));
}

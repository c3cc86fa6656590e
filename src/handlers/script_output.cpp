#include "handlers/script_output.h"

#include <climits>
#include <cstring>

namespace {

constexpr int kPiece = 512;  // fgets buffer: 511 bytes and the terminating zero

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsResultLine(const String& line) {
    return line.Search("scriptres:", 0, 0) == 1;
}

}  // namespace

bool ReadLeadingInt(FILE* file, int& value) {
    int c;
    do c = std::fgetc(file);
    while (IsSpace(c));
    bool negative = false;
    if (c == '-' || c == '+') {
        negative = c == '-';
        c = std::fgetc(file);
    }
    if (c < '0' || c > '9') return false;
    long long magnitude = 0;
    for (; c >= '0' && c <= '9'; c = std::fgetc(file))
        if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (c - '0');
    if (negative) magnitude = -magnitude;
    value = magnitude > INT_MAX   ? INT_MAX
            : magnitude < INT_MIN ? INT_MIN
                                  : static_cast<int>(magnitude);
    return true;
}

bool ReadLeadingReal(FILE* file, float& value) {
    return std::fscanf(file, "%f", &value) == 1;
}

String ReadProcessList(FILE* file) {
    String list;
    char piece[kPiece];
    while (list.Length() < kMaxScriptText && std::fgets(piece, sizeof piece, file) != nullptr) {
        size_t length = std::strlen(piece);
        if (length > 0 && piece[length - 1] == '\n') piece[--length] = '\0';
        if (length == 0) continue;
        list.AddData(piece, static_cast<int>(length));
        list.AddData("\r\n", 2);
    }
    return list;
}

void ReadScriptResult(FILE* file, int budget, String& result, String& output) {
    result = "";
    output = "";
    char buffer[kPiece];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        String piece(buffer);
        piece.Trim();
        if (piece.Length() == 0) continue;
        if (budget > 0) {
            if (output.Length() < kMaxScriptText) {
                output += piece;
                output += "\r\n";
            }
            budget--;
        }
        if (!IsResultLine(result)) result = piece;
        if (IsResultLine(result) && budget == 0) break;
    }
}

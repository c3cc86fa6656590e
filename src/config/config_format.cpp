#include "config/config_format.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

int LinePieceReader::Next(const char*& data) {
    int length = 0;
    while (length < kMaxLinePiece) {
        if (start_ == end_) {
            ssize_t got;
            do got = ::read(fd_, buffer_, sizeof buffer_);
            while (got < 0 && errno == EINTR);
            if (got < 0) return -1;
            if (got == 0) break;
            start_ = 0;
            end_ = static_cast<int>(got);
        }
        int take = end_ - start_;
        if (take > kMaxLinePiece - length) take = kMaxLinePiece - length;
        const char* from = buffer_ + start_;
        const void* lf = std::memchr(from, '\n', static_cast<size_t>(take));
        bool lineEnds = lf != nullptr;
        if (lineEnds) take = static_cast<int>(static_cast<const char*>(lf) - from) + 1;
        std::memcpy(piece_ + length, from, static_cast<size_t>(take));
        length += take;
        start_ += take;
        if (lineEnds) break;
    }
    data = piece_;
    return length;
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool SplitKeyLine(const char* piece, int length, KeyLine& line) {
    if (length == 0 || piece[0] == '#' || piece[0] == ';') return false;
    const void* nul = std::memchr(piece, '\0', static_cast<size_t>(length));
    int textEnd = nul ? static_cast<int>(static_cast<const char*>(nul) - piece) : length;
    const void* equals = std::memchr(piece, '=', static_cast<size_t>(textEnd));
    if (equals == nullptr) return false;
    int keyEnd = static_cast<int>(static_cast<const char*>(equals) - piece);
    int keyStart = 0;
    while (keyStart < keyEnd && IsBlank(piece[keyStart])) keyStart++;
    while (keyEnd > keyStart && IsBlank(piece[keyEnd - 1])) keyEnd--;
    line.key = String(piece + keyStart, keyEnd - keyStart);
    line.key.LowerCase();
    int valueStart = static_cast<int>(static_cast<const char*>(equals) - piece) + 1;
    while (valueStart < textEnd && IsBlank(piece[valueStart])) valueStart++;
    line.valueStart = valueStart;
    line.textEnd = textEnd;
    return true;
}

String ConfigPath(const TQDXSettings& settings) {
    String path(settings.cfgfile,
                static_cast<int>(strnlen(settings.cfgfile, sizeof settings.cfgfile)));
    return path.SetZero();
}

// The line format of the configuration file, shared by its reader and its writer. The file is
// taken in line pieces the way a 1024-byte line buffer sees it; a piece that is not a comment
// splits at its first "=" into a case-insensitive key and a value. Keys map to settings fields
// through tables of ConfigKey rows.
#pragma once

#include "config/settings.h"
#include "foundation/string.h"

// Longest piece of a line handled at once (a 1024-byte buffer with its terminating zero); a longer
// line is handled as several pieces.
constexpr int kMaxLinePiece = 1023;

// Reads a descriptor in line pieces: a piece ends after its LF or after kMaxLinePiece bytes,
// whichever comes first. Bytes are kept as they are, NUL bytes included.
class LinePieceReader {
public:
    explicit LinePieceReader(int fd) : fd_(fd) {}
    LinePieceReader(const LinePieceReader&) = delete;
    LinePieceReader& operator=(const LinePieceReader&) = delete;

    // Length of the next piece, which `data` then points at until the next call; 0 at the end of
    // the file, -1 on a read error.
    int Next(const char*& data);

private:
    int fd_;
    int start_ = 0;
    int end_ = 0;
    char buffer_[4096];  // small: saves run on session threads, whose stacks are small
    char piece_[kMaxLinePiece];
};

// A piece that assigns a value.
struct KeyLine {
    String key;      // text before the first "=", blanks around it removed, lower case
    int valueStart;  // offset of the first byte after the "=" that is not a space or a tab
    int textEnd;     // offset of the first NUL byte, or the piece length: the value ends before it
};

// False for a comment ("#" or ";" in the very first column) and for a piece without "=" before
// its first NUL byte.
bool SplitKeyLine(const char* piece, int length, KeyLine& line);

// The configuration file path of a record as a zero-terminated String (empty when none is set).
String ConfigPath(const TQDXSettings& settings);

// How a key's value is read and written.
enum class KeyKind {
    Text,    // taken as it stands
    Number,  // decimal integer
    Port,    // decimal integer; the reader applies it only while the port is still 0
    Flag,    // 1 when the value's first character is "1", else 0
    List,    // blank-separated in the file, CR LF separated in memory
};

// One configuration key and the settings field behind it: `text` for Text and List keys,
// `number` for the others.
struct ConfigKey {
    const char* name;
    KeyKind kind;
    String TQDXSettings::*text;
    int TQDXSettings::*number;
};

constexpr ConfigKey TextKey(const char* name, String TQDXSettings::*field) {
    return {name, KeyKind::Text, field, nullptr};
}
constexpr ConfigKey ListKey(const char* name, String TQDXSettings::*field) {
    return {name, KeyKind::List, field, nullptr};
}
constexpr ConfigKey NumberKey(const char* name, int TQDXSettings::*field) {
    return {name, KeyKind::Number, nullptr, field};
}
constexpr ConfigKey PortKey(const char* name, int TQDXSettings::*field) {
    return {name, KeyKind::Port, nullptr, field};
}
constexpr ConfigKey FlagKey(const char* name, int TQDXSettings::*field) {
    return {name, KeyKind::Flag, nullptr, field};
}

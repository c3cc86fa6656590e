#include <cstddef>
#include <string_view>

#include "platform/mount_table.h"

namespace {

// The next field of `line` ending at a blank, from `at`; moves `at` past the blank.
std::string_view NextField(std::string_view line, size_t& at) {
    size_t start = at;
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    at = end < line.size() ? end + 1 : end;
    return line.substr(start, end - start);
}

bool ParseNumber(std::string_view text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool IsOctal(char c) {
    return c >= '0' && c <= '7';
}

// The mount point with its "\ooo" escapes decoded; other backslashes stay as they are.
std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && IsOctal(text[i + 1]) &&
            IsOctal(text[i + 2]) && IsOctal(text[i + 3]) && text[i + 1] <= '3') {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                            (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool ParseLine(std::string_view line, TMountRecord& record) {
    size_t at = 0;
    uint64_t id = 0, parent = 0, major = 0, minor = 0;
    if (!ParseNumber(NextField(line, at), 0x7fffffff, id)) return false;
    if (!ParseNumber(NextField(line, at), 0x7fffffff, parent)) return false;
    std::string_view device = NextField(line, at);
    size_t colon = device.find(':');
    if (colon == std::string_view::npos ||
        !ParseNumber(device.substr(0, colon), 0xffffffff, major) ||
        !ParseNumber(device.substr(colon + 1), 0xffffffff, minor))
        return false;
    NextField(line, at);  // the root of the mount within its file system
    std::string_view point = NextField(line, at);
    if (point.empty() || point[0] != '/') return false;
    // The optional fields end with a lone "-"; a line without it is cut short.
    if (line.find(" - ", at > 0 ? at - 1 : 0) == std::string_view::npos) return false;
    record.id = static_cast<int>(id);
    record.parent = static_cast<int>(parent);
    record.fs = (major << 32) | minor;
    record.point = Unescape(point);
    return true;
}

}  // namespace

void ParseMountInfo(std::string_view text, std::vector<TMountRecord>& records) {
    records.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        TMountRecord record;
        if (ParseLine(text.substr(start, end - start), record))
            records.push_back(std::move(record));
        start = end + 1;
    }
}

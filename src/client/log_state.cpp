#include "client/log_state.h"

bool IsStateNumber(std::string_view text) {
    return !text.empty() && text.size() < 24 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool ParseLogState(std::string_view text, const std::string& source, LogState& state,
                   std::string& error) {
    if (text.substr(0, kLogStateMarker.size()) != kLogStateMarker) {
        error = source + " is not a text-log state file (its first line is not \"" +
                std::string(kLogStateMarker.substr(0, kLogStateMarker.size() - 1)) +
                "\"); it stays as it is";
        return false;
    }
    size_t start = kLogStateMarker.size();
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "command") state.command = value;
        if (key == "path") state.path = value;
        if (key == "position") state.position = value;
        if (key == "last_size") state.lastSize = value;
        if (key == "last_time") state.lastTime = value;
    }
    if (!IsStateNumber(state.position) || !IsStateNumber(state.lastSize) ||
        !IsStateNumber(state.lastTime)) {
        error = source + " is not a text-log state file (position, last_size and last_time "
                         "must be numbers); it stays as it is";
        return false;
    }
    return true;
}

std::string FormatLogState(const LogState& state) {
    return std::string(kLogStateMarker) + "command=" + state.command + "\npath=" + state.path +
           "\nposition=" + state.position + "\nlast_size=" + state.lastSize +
           "\nlast_time=" + state.lastTime + "\n";
}

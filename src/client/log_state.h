// The text of a text-log check's state file: where the last check of a log stopped, as the agent
// reported it. The first line marks the file as one, so that a check never takes (or replaces)
// a file that is something else.
#pragma once

#include <string>
#include <string_view>

struct LogState {
    std::string command;  // the test and the log it belongs to; another log starts afresh
    std::string path;
    std::string position = "0";
    std::string lastSize = "0";
    std::string lastTime = "0";
};

// The first line of every state file.
constexpr std::string_view kLogStateMarker = "# qdxctl text-log check state\n";

// True for a value a state file may hold: decimal digits, at most 23.
bool IsStateNumber(std::string_view text);

// Reads a state file's text. False with the reason in `error` when it does not begin with the
// marker line or its position, last_size and last_time are not numbers; `source` names the file
// in the reason.
bool ParseLogState(std::string_view text, const std::string& source, LogState& state,
                   std::string& error);

// The text of a state file for `state`.
std::string FormatLogState(const LogState& state);

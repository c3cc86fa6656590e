// Text from outside (file names, received data, refusal texts, log lines) made safe for a
// terminal and a monitoring engine's status line: control bytes, C1 controls and bytes that are
// not UTF-8 are written as \xNN, so that no escape sequence of the agent's host reaches the
// administrator's terminal. JSON and --raw output keep the exact bytes instead.
#pragma once

#include <string>

// `text` with every byte below 0x20 (TAB excepted), DEL, every C1 control (U+0080 to U+009F) and
// every byte that is not part of well-formed UTF-8 written as \xNN.
std::string TerminalText(const std::string& text);

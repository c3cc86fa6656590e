// Help generated from the command catalog: the command list, one command in full, the manual
// page and the bash completion script. None of it contacts an agent.
#pragma once

#include <string>

// "qdxctl help [COMMAND]": returns the exit status (64 for an unknown command).
int PrintHelp(const std::string& command);
// One command's parameters, for a usage error about it (on standard error).
void PrintParameters(const std::string& command);
// The qdxctl(1) manual page in roff with the man(7) macros.
void PrintManPage();
// The bash completion script.
void PrintBashCompletion();

// The options summary of "qdxctl --help" (also the synopsis of the manual page).
extern const char kOptionsSummary[];

// Help generated from the command catalog and qdxctl's option tables: the command list, one
// command in full, the manual page and the bash completion script. None of it contacts an agent.
#pragma once

#include <cstdio>
#include <string>

// One command's parameters, for a usage error about it (on standard error).
void PrintParameters(const std::string& command);
// The qdxctl(1) manual page in roff with the man(7) macros.
void PrintManPage();
// The bash completion script.
void PrintBashCompletion();

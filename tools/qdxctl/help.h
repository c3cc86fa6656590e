// Help generated from the command catalog and qdxctl's option tables: the command list, one
// command in full, the manual page and the bash completion script. None of it contacts an agent.
#pragma once

#include <cstdio>
#include <string>

// "qdxctl help [NAME]": the command list, one agent command in full, or one of qdxctl's own
// commands with its options. Returns the exit status.
int PrintHelp(const std::string& name);
// One command's parameters, for a usage error about it (on standard error).
void PrintParameters(const std::string& command);
// The qdxctl(1) manual page in roff with the man(7) macros.
void PrintManPage();
// The bash completion script.
void PrintBashCompletion();

// The positional command line: [-d|-i] [-v|-vd] [-p <port>] [-u <user>] <cfg_file>.
#pragma once

#include "config/settings.h"

// Prints `error` and the usage text, then ends the process with exit code 1.
[[noreturn]] void showhelp(const char* error);

// Fills the command-line fields of `settings` (interactive, verbose, verbosedetail, port,
// runuser, cfgfile). Every option is recognised only in its own position; anything out of order is
// taken as the configuration file. Calls showhelp on an error.
void ParseCommandLine(int argc, char** argv, TQDXSettings& settings);

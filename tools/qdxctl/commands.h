// The runners of qdxctl's commands; each returns qdxctl's exit status.
#pragma once

#include "options.h"

// An agent command (GetInfo, TEST-UNC, ...) with its words in options.words.
int RunAgentCommand(Options& options);
int RunCheckCommand(Options& options);     // check.cpp
int RunSettingsCommand(Options& options);  // settings_command.cpp
int RunSetCommand(Options& options);       // set_command.cpp
int RunUpgradeCommand(Options& options);   // upgrade.cpp
int RunLoadCommand(Options& options);      // load.cpp
int RunHelpCommand(Options& options);      // help.cpp
int RunCompletionCommand(Options& options);
int RunVerifyConfigCommand(Options& options);  // config_file.cpp
int RunExporterCommand(Options& options);      // exporter.cpp

// The checks for commands that talk to an agent: a port (or --hosts) and a password.
void NeedAgent(const Options& options);

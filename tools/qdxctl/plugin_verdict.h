// Programs and scripts as monitoring plugins: without thresholds, the exit code of
// TEST-ExternalPrg (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN, any other code UNKNOWN) and the
// scriptres: line of TEST-ShellScript (a state word in any letter case, or 0 to 3) are the state,
// and a script's output lines are the status text and long output, its own performance data
// passed through unchanged.
#pragma once

#include "check.h"
#include "client/reply_values.h"

// True when the command reports its own state (the catalog's Verdict), with the result in
// `result`.
bool PluginVerdict(const Request& request, const ReplyValues& values, CheckResult& result);

// The state a scriptres: line names ("scriptres:Warning", "SCRIPTRES: 2"), or -1.
int ScriptResultState(const std::string& resultLine);

// Tests that run programs: the administrator's process-count, CPU-usage and process-list scripts,
// an external program named by the server, and a shell script sent with the request. Every
// temporary file is created exclusively in the configured temporary folder and deleted before the
// handler returns.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// The environment variable that hands the count script the process name exactly as the request
// line carried it (without its CR); the script's arguments carry it split into words.
constexpr const char* kProcessNameVariable = "QDX_PROCESS_NAME";

// "TEST-Process": parameter 2 is a process name; "200" and the count the script printed.
void ProcessTest_Process(const ZPRequest& request, QDXReply& reply);
// "TEST-CPU": "200" and the CPU usage in percent that the script printed.
void ProcessTest_CPU(const ZPRequest& request, QDXReply& reply);
// "GetProcessesList": "200" and the script's non-empty lines, encoded.
void ProcessInfo_ProcessesList(const ZPRequest& request, QDXReply& reply);
// "TEST-ExternalPrg": 1 command line, 2 working folder, 4 time-out in milliseconds; "200" and the
// program's exit code.
void ProcessTest_External(const ZPRequest& request, QDXReply& reply);
// Runs `commandLine` (no shell) in `folder` (empty: the agent's own folder) with the time-out
// modes of SystemEx and the configured temporary folder; answers "200" and the exit code, or
// "301" and the reason. TEST-ExternalPrg and ACT-ExternalCmd share it.
void AnswerProgramRun(const String& commandLine, const String& folder, int timeoutMs,
                      QDXReply& reply);
// "TEST-ShellScript": 1 start command ("%script%", "%params%"), 2 script text, 3 parameters (both
// encoded), 4 time-out in seconds, 5 number of output lines; "200", the result line and the
// output lines, encoded.
void ProcessTest_ShellScript(const ZPRequest& request, QDXReply& reply);

// How long the process-count and process-list scripts may run before their process group is
// killed (60 seconds); tests shorten it.
void SetScriptWaitLimitForTesting(int milliseconds);

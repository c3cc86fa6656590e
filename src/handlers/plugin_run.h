// "TEST-Plugin": runs a monitoring plugin that the configuration names ("plugin.NAME=command
// line"), without a shell, in a process group of its own that is killed at the time-out, and
// answers its exit code, its status line and its further lines as the plugin printed them.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// The further lines of a plugin's output are cut at a line end to stay within this many bytes.
constexpr int kMaxPluginOutput = 64 * 1024;
// The time-out when the request names none.
constexpr int kDefaultPluginTimeoutMs = 10000;

// Parameters: 1 the plugin's name, 2 its arguments (one per line, escaped), 3 the time-out in
// milliseconds. "200" with four values: the exit code, the first output line, the further lines
// (each ended by CR LF, escaped) and 1 when the output was cut, else 0.
void ProcessTest_Plugin(const ZPRequest& request, QDXReply& reply);

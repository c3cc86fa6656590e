// The text-log tests: "TEST-TextLog" (one string or expression) and "TEST-TextLog2" (up to two
// filters, file-name macros). The server carries the log state from one request to the next.
#pragma once

#include "handlers/textlog_scan.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// Fills `filter` from the four parameters that start at `first`: the text (line-break escape),
// then the flags "is an expression", "case sensitive" and "whole word".
void DecodeFilter(const ZPRequest& request, TTextLogFilter& filter, int first);

// "TEST-TextLog": path (wildcard allowed), text, position, last size, last time, is expression,
// scan to end, case sensitive, whole word. Answers "200", the match value, the matched line (first
// 1024 bytes), whether another match follows, then position, last size, last time, file size.
void ProcessTest_TextLog(const ZPRequest& request, QDXReply& reply);

// "TEST-TextLog2": path, position, last size, last time, scan to end, first filter (6 to 9),
// second filter present (10), second filter (11 to 14), macro switch (16, or 20 with a second
// filter). Answers as "TEST-TextLog", each state group followed by which filter matched (1 the
// first, 0 the second or none) and the path searched.
void ProcessTest_TextLog2(const ZPRequest& request, QDXReply& reply);

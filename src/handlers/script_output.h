// Reading what a script left in its output file: the pieces of text the process, CPU, process-list
// and shell-script tests take from it. Pieces are read as fgets reads them: one line, or at most
// 511 bytes of a longer one.
#pragma once

#include <cstdio>

#include "foundation/string.h"

// A list or an output text stops growing at this many bytes, so a script that writes without end
// cannot exhaust the agent's memory.
constexpr int kMaxScriptText = 1 << 20;

// The decimal integer at the start of the file (leading white space skipped, an optional sign),
// as scanf's "%d" reads it; a value beyond the int range is clamped. False when there is none.
bool ReadLeadingInt(FILE* file, int& value);
// The number at the start of the file as scanf's "%f" reads it.
bool ReadLeadingReal(FILE* file, float& value);

// Every non-empty line (one trailing LF removed), each followed by CR LF; longer lines become
// several entries of at most 511 bytes.
String ReadProcessList(FILE* file);

// The result line and the first `budget` output lines of a shell script: trimmed non-empty pieces
// each followed by CR LF in `output`; `result` is the first piece that begins with "scriptres:"
// (any letter case), or else the last piece. Reading stops at the result line once the budget
// is spent.
void ReadScriptResult(FILE* file, int budget, String& result, String& output);

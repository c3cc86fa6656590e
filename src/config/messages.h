// The one path of every console and log message: showmessage stamps a message with date, time
// and peer address, prints it on the console in interactive mode and appends it to the success,
// failure and verbose logs as the settings say.
#pragma once

#include <netinet/in.h>

#include "foundation/string.h"

enum MsgType { msgOk = 0, msgFail = 1, msgDetail = 2, msgInfo = 3 };

// The peer address that stands for "no peer" (shown as "qdx" and a TAB).
extern const in_addr LOCAL;

// Emits one message. When `formatted` is non-zero `text` is a printf format for the further
// arguments; otherwise it is taken literally. A msgDetail message is dropped unless "-vd" is on.
void showmessage(const char* text, in_addr peer, MsgType type, int formatted, ...);

// Appends `line` to `file` (a bare name lives beside the configuration file); silently does
// nothing when the file cannot be opened.
void writelog(String file, const char* line);

// The one path of every console and log message: showmessage stamps a message with date, time
// and peer address, prints it on the console in interactive mode and appends it to the success,
// failure and verbose logs as the settings say.
#pragma once

#include <netinet/in.h>

#include "foundation/peer_address.h"
#include "foundation/string.h"

enum MsgType { msgOk = 0, msgFail = 1, msgDetail = 2, msgInfo = 3 };

// The peer address that stands for "no peer" (shown as "qdx" and a TAB).
extern const in_addr LOCAL;

// Emits one message. When `formatted` is non-zero `text` is a printf format for the further
// arguments; otherwise it is taken literally. A msgDetail message is dropped unless "-vd" is on.
// With "logsyslog", a msgFail message is also sent to the system log (facility daemon).
void showmessage(const char* text, const PeerAddress& peer, MsgType type, int formatted, ...);

// A failure message about a refused login (taken literally): as showmessage with msgFail, but
// its copy to the system log goes to the facility for authentication messages (authpriv).
void showloginfailure(const char* text, const PeerAddress& peer);

// `text` made safe for a log line: every control byte (below 0x20, and 0x7F) and the backslash are
// written as "\xHH", so text that came from a peer can neither end a line nor pass for a line of
// its own.
String LogSafe(const String& text);

// Appends `line` to `file` (a bare name lives beside the configuration file); silently does
// nothing when the file cannot be opened.
void writelog(String file, const char* line);

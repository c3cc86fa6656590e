// Checks of the TLS listener's settings that need no TLS library: which settings go together, and
// that the files holding secrets are private.
#pragma once

#include "config/settings.h"
#include "foundation/string.h"

// False when the TLS settings cannot work, with one line per reason appended to `message`
// ("  TLS key file '/etc/qdx/key.pem' is readable by others (mode 0644)!\n"). Settings that are
// all empty (tlsport 0) pass.
bool CheckTlsSettings(const TQDXSettings& settings, String& message);

// True when the file at `path` is a regular file that neither others nor the group may write and
// others may not read; otherwise false with the reason ("is readable by others (mode 0644)").
bool IsPrivateFile(const String& path, String& reason);

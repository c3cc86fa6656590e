// Reading the configuration file into the settings, normalising them, and writing them back.
#pragma once

#include "config/settings.h"
#include "foundation/string.h"

// Reloads the configuration file named in the current settings. Takes LockOptions(), reads into
// a copy of the current record and publishes it only when the load succeeds: a failed load leaves
// the settings in force untouched. On failure `message` holds every error found; on success it
// may hold a warning.
bool LoadOptions(String& message);
// The reader on a caller-owned record: resets the defaults, reads the file, runs PutRight and
// validates. The caller holds LockOptions().
bool LoadOptions_(TQDXSettings& settings, String& message);
// Normalises derived values: the active filter list, script paths, the temporary folder and the
// TMPDIR variable. May leave a warning in `message`.
void PutRight(TQDXSettings& settings, String& message);

// Writes the current settings back into the configuration file (takes LockOptions()).
bool SaveOptions(String& message);
// The writer on a record; the caller holds LockOptions(). Runs PutRight on `settings` first.
bool SaveOptions_(TQDXSettings& settings, String& message);

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

// The idle time-out a "timeout" of 0 stands for, in the file and from SetSettings alike.
constexpr int kDefaultTimeout = 4000;

// Defaults of the resource bounds. 4096 sessions hold 2,000 honest connections at once with room
// to spare; a request of the largest size arrives well within a minute on any working link; a
// peer that vanished without closing is found about a minute after it went silent (the first
// probe after `keepalive` seconds, then three more a third of that apart).
constexpr int kDefaultMaxSessions = 4096;
constexpr int kDefaultRequestTimeout = 60000;
constexpr int kDefaultKeepalive = 30;
// Threads of folder walks: each request walks on its own thread, and all walks together borrow at
// most walkworkers - 1 helpers. With 2, one large tree is walked on two processors, and however
// many folder checks arrive, they add one thread at most.
constexpr int kDefaultWalkWorkers = 2;
constexpr int kMaxWalkWorkers = 64;
// A file system whose call has not moved for fsstall milliseconds is not answering; at most fsstuck
// calls are in flight on one file system, so at most that many threads are stuck on one.
constexpr int kDefaultFsStallSetting = 5000;
constexpr int kDefaultFsStuckSetting = 4;

// The filter list as the settings hold it: the entries of `text` (separated there by blanks, CR or
// LF, escapes already decoded), separated by single CR LF pairs. This is the form the file gives
// back after any rewrite, where the entries are separated by single blanks.
String FilterListEntries(const String& text);

// The first key of the configuration file in which the two records differ (the derived active
// filter list included), or null when they agree on everything the file holds.
const char* FirstFileDifference(const TQDXSettings& a, const TQDXSettings& b);

// True when the configuration file can hold `value` of the text or list setting `field` exactly:
// written on a line of its own, it reads back as the same value. False for a field the writer does
// not manage.
bool ConfigFileHolds(String TQDXSettings::*field, const String& value);

// Writes the current settings back into the configuration file (takes LockOptions()).
bool SaveOptions(String& message);
// The writer on a record; the caller holds LockOptions(). Runs PutRight on `settings` first.
bool SaveOptions_(TQDXSettings& settings, String& message);

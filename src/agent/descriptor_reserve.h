// A descriptor held back for the moment descriptors run out: spent, it lets the agent accept the
// connection that could not be taken, close it, and write the failure log line that says so.
#pragma once

class EventReport;

// Takes the reserve when it is not held (at start, and again after it was spent), when
// descriptors allow. Safe from any thread.
void RefillReserve();

// Out of descriptors: frees the reserve, takes the connection pending on `listener` and closes it
// at once (counted as failed), notes `detail` in `report` while the freed descriptor is still
// there for the log, and takes the reserve again. Returns false when nothing was shed (no reserve,
// or no connection pending; `detail` is noted all the same). Safe from any thread: one of them
// spends the reserve at a time.
bool ShedConnection(int listener, EventReport& report, const char* detail);

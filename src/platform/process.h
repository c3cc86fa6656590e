// Process facilities that differ between systems. Everything here may be called in a child
// between fork and exec, so it makes async-signal-safe calls only.
#pragma once

// Closes every descriptor numbered `lowest` or above. `limit` is one past the highest descriptor
// the process may hold (from getrlimit, taken before the fork); it bounds the plain loop used
// where the system has no call that closes a whole range.
void CloseDescriptorsFrom(int lowest, int limit);

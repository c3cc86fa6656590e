// Wakes the sessions that wait for their request when the idle time-out setting changes, so they
// apply the new value at once and otherwise sleep until their own time-out is due. The accept
// loop announces a change; a waiting session polls the descriptor of the current announcement,
// which every session shares: announcing hangs it up, waking them all at once.
#pragma once

#include <memory>

struct TimeoutChange {
    int readFd = -1;   // polled by the sessions; hung up once the change is announced
    int writeFd = -1;  // closed to announce
    TimeoutChange() = default;
    TimeoutChange(const TimeoutChange&) = delete;
    TimeoutChange& operator=(const TimeoutChange&) = delete;
    ~TimeoutChange();
};

// The announcement to wait on now. Null when none could be made (out of descriptors): the caller
// then reads the setting again at least once a second.
std::shared_ptr<const TimeoutChange> CurrentTimeoutChange();

// Wakes every session waiting on the current announcement; a new one takes its place first, so a
// woken session never finds the old one again.
void AnnounceTimeoutChange();

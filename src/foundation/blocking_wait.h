// Marks the stretches in which a thread waits on something outside the agent (a child program,
// another host, a pause) instead of working. The agent's session threads hand their turn to another
// thread meanwhile (see agent/session_pool.h); without hooks installed nothing happens.
#pragma once

// Lives for the length of one such wait: `BlockingWait wait; poll(...);`.
class BlockingWait {
public:
    BlockingWait();
    ~BlockingWait();
    BlockingWait(const BlockingWait&) = delete;
    BlockingWait& operator=(const BlockingWait&) = delete;
};

// Installs what the start and the end of every BlockingWait call, on whichever thread it is.
// Called once, before the threads that wait exist.
void SetBlockingWaitHooks(void (*begins)(), void (*ends)());

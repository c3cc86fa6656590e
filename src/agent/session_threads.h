// The session threads. A few threads take turns in accept() on the listener, as many as the
// processors can keep busy; each serves the connection it takes from its first byte to its close
// (applying the connection filter and the session limit first) and goes back to accept(). A busy
// agent thus takes connections that are already waiting, with their request already in, without
// a thread going to sleep in between. The other threads are parked. A session whose peer keeps it
// waiting calls a parked thread in (or starts one) to take its turn, so any number of slow or
// idle peers never keep the listener unattended; and when the threads in turn are all held up by
// long requests, the main loop calls one more in within a few milliseconds.
#pragma once

#include <netinet/in.h>

// Lets the session threads accept on `listener`, starting the first of them when there is none.
// The agent listens on one socket at a time: RetireListener() the previous one first.
void ServeListener(int listener);

// Takes the listener away from the session threads (those waiting in accept() on it are woken) and
// returns it once no thread can touch it any more, so the caller may close it. Returns -1 when
// there is none, or when a thread could not be woken in time (the listener then stays open). A
// thread serving a connection goes on serving it.
int RetireListener();

// The main loop's call between its rounds: sees that some thread takes connections (calling one
// in when the threads in turn have taken none for a round), takes the reserve descriptor again
// when it was used up, writes the pending event reports, and waits until the next round is due:
// a second while the threads keep up, a few milliseconds while all of them are busy.
void TendSessionThreads();

// A session is about to wait for its peer (its request, or an upgrade transfer), or goes on after
// such a wait. While it waits it leaves its turn to another thread.
void SessionWaitsForPeer();
void SessionGoesOn();

// True when connections wait on the listener to be taken.
bool ConnectionsPending();

// The agent's session threads: a SessionPool (session_pool.h) whose threads apply the connection
// filter and the session limit to each connection they take and then serve it as a session.
#pragma once

#include "net/tls.h"

// Lets the session threads accept on `listener` (see SessionPool::ServeListener).
void ServeListener(int listener);

// Takes the listener away from the session threads (see SessionPool::RetireListener).
int RetireListener();
// The same for the TLS listener, whose connections shake hands under `context` first.
void ServeTlsListener(int listener, TlsContextPtr context);
int RetireTlsListener();

// The main loop's call between its rounds: sees that some thread takes connections, writes the
// pending event reports and waits until the next round is due: a second while the threads keep
// up, a few milliseconds while all of them are busy.
void TendSessionThreads();

// A session is about to wait for its peer (its request, or an upgrade transfer), or goes on after
// such a wait. While it waits it leaves its turn to another thread.
void SessionWaitsForPeer();
void SessionGoesOn();

// True when connections wait on the listener to be taken.
bool ConnectionsPending();

// Has the main loop look at the process-wide requests now rather than at its next round: a
// session has just raised one.
void WakeMainLoop();

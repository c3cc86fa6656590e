// Daemon mode and the PID file.
#pragma once

// Forks into the background. Returns 0 in the child that goes on and -1 when the fork failed;
// the parent prints "Daemon started" and exits with 0 once the child has called daemon_ready()
// or has ended.
int daemon_init();
// Tells the waiting parent that the daemon is set up (listener open, PID file written).
void daemon_ready();

// Creates and write-locks the PID file named by "pidfile". The lock is taken before the file is
// truncated, so a second agent never empties the file of the one already running. Returns the
// open descriptor (close-on-exec) or -1.
int createpidfile();
// Removes the PID file when it still names this process, and closes it; -1 does nothing.
void closepidfile(int pidfile);
// Closes the PID file (releasing its lock) and leaves it in place, for a re-execution: the file
// names this process id until the new image's daemon writes its own, so it always names a live
// process. -1 does nothing.
void releasepidfile(int pidfile);

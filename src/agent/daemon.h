// Daemon mode and the PID file.
#pragma once

// Forks into the background. Returns 0 in the child that goes on and -1 when the fork failed;
// the parent prints "Daemon started" and exits with 0.
int daemon_init();

// Creates and write-locks the PID file named by "pidfile". The lock is taken before the file is
// truncated, so a second agent never empties the file of the one already running. Returns the
// open descriptor (close-on-exec) or -1.
int createpidfile();
// Closes the PID file and removes it; -1 does nothing.
void closepidfile(int pidfile);

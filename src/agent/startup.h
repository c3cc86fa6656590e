// The agent's start-up sequence: banner, command line, settings, self-checks, listener, daemon.
#pragma once

// Runs the agent; returns only on a start-up failure, with the process exit code.
int RunAgent(int argc, char** argv, char** envp);

// Signal handling. Handlers only raise flags or use async-signal-safe calls; the accept loop does
// the real work (reload, restart).
#pragma once

// Hang-up: ask the accept loop to reload the configuration (daemon mode only).
void InstallReloadHandler();

// Termination: ask the accept loop to end the agent as QUIT does, removing the PID file.
void InstallTerminateHandler();

// Segmentation fault: log "Segmentation fault!!" with write(); after 180 seconds of uptime
// re-execute the agent at once, earlier end the process with the default action. Broken pipes
// are ignored. `argv` and `envp` must stay valid for the life of the process.
void InstallFaultHandlers(char** argv, char** envp);

// Refreshes what the fault handler needs from the settings (log files, agent path). Called by
// the main thread after every change of the settings.
void UpdateFaultContext();

// What qdx-proc does. Each mode takes the arguments that follow the mode, writes its answer to
// standard output and any complaint to standard error, and returns the program's exit status:
// 0 done, 1 the system could not be read, 2 wrong arguments.
#pragma once

// Prints how many processes run under the command name given in QDX_PROCESS_NAME, or else by the
// arguments joined with single blanks. qdx-proc itself is never counted.
int CountProcesses(int argc, char** argv);

// Prints the command name of every process but qdx-proc itself, one a line, in process-ID order.
int ListProcesses(int argc, char** argv);

// Prints the share of time all processors were busy over an interval (the argument, in seconds,
// 0.5 by default), in percent with one decimal.
int MeasureCpuUsage(int argc, char** argv);

// Flushes standard output. Returns `status`, or 1 after saying why when the output could not be
// written.
int FinishOutput(int status);

// Running external programs: command lines split into arguments without a shell, standard
// streams redirected, a time limit after which the program's whole process group is killed, and
// a result that tells a program that ended with an exit code from one that could not start and
// one that was killed or crashed. Knows nothing about requests or replies. Safe from any thread.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "foundation/string.h"

// ---- Command lines ------------------------------------------------------------------------------

constexpr int kMaxArguments = 23;
constexpr int kArgumentTextSize = 1024;

// The arguments of one command line. argv[argc] is null; every argument lives in `text`.
struct TCommandArgs {
    TCommandArgs() = default;
    TCommandArgs(const TCommandArgs&) = delete;  // argv points into text
    TCommandArgs& operator=(const TCommandArgs&) = delete;

    int argc = 0;
    char* argv[kMaxArguments + 1] = {};
    char text[kArgumentTextSize] = {};
};

// Splits `line` (null reads as empty) into at most kMaxArguments arguments. Blanks (space, tab)
// separate arguments; a single or double quote opens an argument that runs to the same quote or
// the end of the line, with nothing special inside, and text right after a closing quote starts
// a new argument; a quote inside a plain argument is an ordinary byte. Splitting stops at the
// first argument that no longer fits (with its terminating zero) into the text area. Nothing else
// is interpreted: redirections, pipes, variables and wildcards are plain text. Returns argc.
int SplitCommandLine(const char* line, TCommandArgs& args);

// ---- Running a program --------------------------------------------------------------------------

// Time-out values of the wait modes; any other value is a limit in milliseconds, and a negative
// one ends the program at once.
constexpr int kStartOnly = -1;  // start, look once after one second, never wait longer
constexpr int kNoLimit = 0;     // wait as long as the program runs

// What the child gets besides its arguments.
struct TChildSetup {
    const char* workdir = nullptr;  // folder to change to before the exec; null: unchanged
    // Descriptors for standard input, output and error; -1 gives "/dev/null". The caller keeps
    // ownership; the child gets copies and nothing else of the agent's descriptors.
    int in = -1, out = -1, err = -1;
    // A descriptor the child gets as its descriptor 3, where scripts may write results; -1: none.
    int fd3 = -1;
    // TMPDIR in the child's environment; null leaves the agent's environment as it is.
    const char* tmpdir = nullptr;
    // One more "NAME=value" entry for the child's environment, in place of any entry of that
    // name; null adds nothing.
    const char* extraEnv = nullptr;
};

// How a run ended.
enum class ChildEnd {
    Exited,           // the program ended normally; the exit code is set
    StillRunning,     // start-only mode: it still runs after one second (it is reaped when it ends)
    KilledAtLimit,    // the time limit passed and its process group was killed
    Signalled,        // ended by a signal it did not get from us
    NotStarted,       // fork, exec, the working folder or the streams failed
    CannotTerminate,  // the limit passed and it could not be killed (it is reaped when it ends)
};

// Runs argv[0] (looked up along PATH unless it holds a '/'; a file that is not a binary or a
// "#!" script is run by /bin/sh) with the arguments argv, in a new session, with the given setup
// and wait mode, without copying the agent's address space where the system allows. On Exited
// `exitcode` is the program's status (0..255, 255 included); otherwise `message` says why:
// "fork error" (no process or watcher thread could be made), "exec error: <reason>" (the working
// folder cannot be entered, the program cannot be started), "cannot terminate process",
// "abnormal termination".
// In start-only mode the exit code is 0 and a start failure gives just "exec error".
ChildEnd RunProgram(char* const argv[], const TChildSetup& setup, int timeout, int& exitcode,
                    String& message);

// Splits `cmdline` and runs it with RunProgram. A line without any argument gives NotStarted with
// "exec error: empty command line".
ChildEnd RunCommandLine(const char* cmdline, const TChildSetup& setup, int timeout, int& exitcode,
                        String& message);

// Runs `cmdline` with standard input read from `in`, standard output and error written to `out`
// and `err` (each null for "/dev/null"; written files are created with mode 0600 when missing
// and truncated, never through a symbolic link; the same path for both shares one descriptor).
// `message` is emptied first. Returns 1 when the program ran and ended normally (the exit code is
// set) or, in start-only mode, still runs (exit code 0); 0 otherwise with the reason in message.
// `tmpdir`, when given, becomes TMPDIR in the child's environment.
int SystemEx2(const char* cmdline, const char* workdir, const char* in, const char* out,
              const char* err, int timeout, int& exitcode, String& message,
              const char* tmpdir = nullptr);
// SystemEx2 with "/dev/null" for all three streams.
int SystemEx(const char* cmdline, const char* workdir, int timeout, int& exitcode, String& message,
             const char* tmpdir = nullptr);

// Keeps every thread of the process from starting a child while held (starts do not hold each
// other up). A descriptor opened while it is held and closed before it is released reaches no
// child, not even for the moment between the start and the exec that would close it: hold it
// while writing a file that is about to be executed, which would otherwise fail with "Text file
// busy".
std::unique_lock<std::shared_mutex> HoldForks();

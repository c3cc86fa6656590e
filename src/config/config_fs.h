// The file operations of the configuration writer. They pass straight to the system calls; a test
// can install a fault hook that makes any one of them fail, to prove that a save interrupted at
// any point still leaves a loadable configuration file behind.
#pragma once

#include <sys/types.h>

namespace configfs {

int Open(const char* path, int flags, mode_t mode = 0);
ssize_t Write(int fd, const void* data, size_t count);
int Fsync(int fd);
// Always releases the descriptor, also when it reports a failure.
int Close(int fd);
int Link(const char* from, const char* to);
int Rename(const char* from, const char* to);

// Called before each operation above with its name ("open", "write", "fsync", "close", "link",
// "rename"); returning true makes the operation fail with EIO. For tests only; null (the default)
// lets every operation run.
using FaultHook = bool (*)(const char* operation);
void SetFaultHook(FaultHook hook);

}  // namespace configfs

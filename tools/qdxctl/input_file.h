// Files named on qdxctl's command line (-f, -F, -C, --hosts, verify-config): only regular files
// are read (and standard input where "-" is documented), never beyond a stated bound, so that a
// FIFO, a device such as /dev/zero or a folder is refused by name instead of hanging qdxctl or
// filling its memory.
#pragma once

#include <cstddef>
#include <string>

// The largest script or other parameter file, and the largest configuration file: what the
// largest request the agent takes (1 MiB) can carry.
constexpr size_t kMaxParamFile = 1u << 20;
constexpr size_t kMaxConfigFile = 1u << 20;
constexpr size_t kMaxPasswordFile = 64u << 10;
constexpr size_t kMaxHostsFile = 64u << 20;

// Reads the whole of `path` ("-": standard input, when `stdinAllowed`) into `content`. False with
// the reason in `error` ("cannot read F: not a regular file", "... larger than N bytes", or the
// system's reason) for anything else.
bool ReadInputFile(const std::string& path, size_t limit, bool stdinAllowed, std::string& content,
                   std::string& error);

// True when `path` is a regular file of at most `limit` bytes, without reading it (for readers
// that open the file themselves); false with the reason in `error`.
bool IsBoundedRegularFile(const std::string& path, size_t limit, std::string& error);

// "1 MiB", "64 KiB", "100 bytes".
std::string ByteSize(size_t bytes);

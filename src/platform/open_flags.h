// Open flags that not every system has.
#pragma once

#include <fcntl.h>

// Opens a folder only to enter it or to name files in it: no read permission is needed, as chdir
// needs none. Where the system has no such flag, a plain read-only open.
#if defined(O_PATH)
constexpr int kOpenToEnter = O_PATH;
#else
constexpr int kOpenToEnter = O_RDONLY;
#endif

// The system's text for an error number. Both forms of strerror_r (the POSIX one and the GNU one)
// are taken without testing which system this is.
#pragma once

#include "foundation/string.h"

// The text for `error`; empty when the system has none to give. Safe from any thread.
String SystemErrorText(int error);

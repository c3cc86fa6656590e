// Request parameters that name a file, a folder, a pattern or a program. The system sees such a
// name only up to its first NUL byte, so that is all a handler reads of it: the name it checks and
// the name it echoes in the reply are then the same.
#pragma once

#include "foundation/string.h"
#include "protocol/request.h"

// Parameter `index` (1-based), trimmed, up to its first NUL byte.
String GetPathParam(const ZPRequest& request, int index);

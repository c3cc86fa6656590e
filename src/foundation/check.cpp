#include "foundation/check.h"

#include <cstdio>
#include <cstdlib>

namespace qdx {

void CheckFailed(const char* what, const char* module, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s, module %s (%s:%d)\n", what, module, file, line);
    std::abort();
}

}  // namespace qdx

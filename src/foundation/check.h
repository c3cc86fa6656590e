// Always-on program-error checks. A failed check is a bug in the caller, never a reaction to
// outside input, so it stops the process the way a failed assertion does, also in release builds.
#pragma once

namespace qdx {

[[noreturn]] void CheckFailed(const char* what, const char* module, const char* file, int line);

}  // namespace qdx

// QDX_CHECK(cond, "what", "module"): stop the program with an assertion report when cond is false.
#define QDX_CHECK(cond, what, module) \
    ((cond) ? (void)0 : ::qdx::CheckFailed((what), (module), __FILE__, __LINE__))

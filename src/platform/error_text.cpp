#include "platform/error_text.h"

#include <cstring>

namespace {

// strerror_r comes in two forms: the POSIX one returns 0 and fills the buffer, the GNU one returns
// the text (which may or may not be the buffer). Overloads on the result type take either.
[[maybe_unused]] const char* ErrorTextOf(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorTextOf(const char* text, const char*) {
    return text;
}

}  // namespace

String SystemErrorText(int error) {
    char buffer[256];
    buffer[0] = '\0';
    const char* text = ErrorTextOf(strerror_r(error, buffer, sizeof buffer), buffer);
    return text != nullptr ? String(text) : String();
}

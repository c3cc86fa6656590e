#include "handlers/path_param.h"

#include <cstring>

String GetPathParam(const ZPRequest& request, int index) {
    String text = request.GetParam(index, 1);
    if (text.Length() == 0) return text;
    const void* nul = std::memchr(text.Data(), '\0', static_cast<size_t>(text.Length()));
    if (nul != nullptr)
        text.SetLength(static_cast<int>(static_cast<const char*>(nul) - text.Data()));
    return text;
}

#include "terminal_text.h"

#include <cstdio>

namespace {

void Escape(std::string& out, unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

// The length of the well-formed UTF-8 sequence at text[i] (2 to 4), or 0.
size_t SequenceLength(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; k++)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char second = byte(i + 1);
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

}  // namespace

std::string TerminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                Escape(out, c);
            else
                out += static_cast<char>(c);
            i++;
            continue;
        }
        size_t length = SequenceLength(text, i);
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length == 0 || c1) {
            for (size_t k = 0; k < (c1 ? 2 : 1); k++)
                Escape(out, static_cast<unsigned char>(text[i + k]));
            i += c1 ? 2 : 1;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

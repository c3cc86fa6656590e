#include "handlers/word_finder.h"

#include <cstring>
#include <new>

namespace {

bool IsWordByte(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

TWordFinder::TWordFinder(const char* needle, size_t length)
    : needle_(reinterpret_cast<const unsigned char*>(needle)), length_(length) {
    fail_.reset(new (std::nothrow) uint32_t[length + 1]);
    if (!fail_) return;
    fail_[0] = 0;
    if (length > 0) fail_[1] = 0;
    size_t k = 0;
    for (size_t i = 1; i < length; i++) {
        while (k > 0 && needle_[i] != needle_[k]) {
            k = fail_[k];
            steps_++;
        }
        if (needle_[i] == needle_[k]) k++;
        fail_[i + 1] = static_cast<uint32_t>(k);
        steps_++;
    }
}

bool TWordFinder::Feed(const char* data, size_t from, size_t to, size_t held, int before) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    size_t i = from;
    while (i < to) {
        if (state_ == 0) {
            // Nothing matched: only a byte equal to the needle's first can start an occurrence.
            steps_++;
            const void* next = std::memchr(bytes + i, needle_[0], to - i);
            if (next == nullptr) return false;
            i = static_cast<size_t>(static_cast<const unsigned char*>(next) - bytes);
        }
        const unsigned char c = bytes[i];
        while (state_ > 0 && c != needle_[state_]) {
            state_ = fail_[state_];
            steps_++;
        }
        if (c == needle_[state_]) state_++;
        steps_++;
        if (state_ == length_) {
            // An occurrence ends at i; it starts at i + 1 - length.
            const size_t start = i + 1 - length_;
            const int previous = start > 0 ? bytes[start - 1] : before;
            const int after = i + 1 < held ? bytes[i + 1] : -1;
            if (!IsWordByte(previous) && !IsWordByte(after)) return true;
            state_ = fail_[length_];
        }
        i++;
    }
    return false;
}

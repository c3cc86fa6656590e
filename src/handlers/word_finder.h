// Finding a text that stands as a whole word in a stream of bytes read block by block: neither the
// byte before an occurrence nor the byte after it is an ASCII letter or digit. Every occurrence is
// enumerated in time linear in the stream and the text, overlapping ones included (a
// Knuth-Morris-Pratt automaton, which skips to the next byte equal to the text's first while no
// match is in progress), so a long text in a repetitive file costs no more than a short one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

class TWordFinder {
public:
    // `needle` (`length` > 0 bytes) must outlive the finder. Valid() is false when the table the
    // automaton needs could not be allocated.
    TWordFinder(const char* needle, size_t length);
    bool Valid() const { return fail_ != nullptr; }

    // Feeds data[from, to) to the automaton, which carries its state from call to call: the bytes
    // must follow those fed before. `data` is the caller's window on the stream: it holds `held`
    // bytes, at least the needle's length of them before `from` (fewer only at the start of the
    // stream), and `before` is the stream's byte in front of data[0] (-1 when data[0] is the
    // first). data[to] must be held unless the stream ends there. True when an occurrence ending
    // in data[from, to) stands as a whole word.
    bool Feed(const char* data, size_t from, size_t to, size_t held, int before);

    // Work done so far: bytes fed, links of the table followed and skips taken, each counted 1.
    uint64_t Steps() const { return steps_; }

private:
    const unsigned char* needle_;
    size_t length_;
    std::unique_ptr<uint32_t[]> fail_;  // fail_[k]: the longest proper border of needle[0, k)
    size_t state_ = 0;                  // bytes of the needle matched so far
    uint64_t steps_ = 0;
};

// SHA-1 message digest (20 bytes, standard byte order), used to turn key strings into cipher keys
// and by the start-up self-checks.
#pragma once

#include <cstdint>

// One digest computation at a time; an object is used by one thread at a time. The destructor
// wipes the state.
class THash_SHA {
public:
    THash_SHA();
    ~THash_SHA();
    THash_SHA(const THash_SHA&) = delete;
    THash_SHA& operator=(const THash_SHA&) = delete;

    // Loads the initial chaining values and starts a new message.
    void Init();
    // Zeroes chaining words (and so the digest), buffer, counts; the object is no longer
    // initialised.
    void Burn();
    // Absorbs len bytes at p (nothing for a null p or len <= 0); starts a message first if none
    // is under way.
    void Update(const void* p, int len);
    // Pads, stores the digest and ends the message. Calling it without a message under way is a
    // program error.
    void Final();
    // With p: the digest of the len bytes at p. With a null p: the digest of the last Final,
    // which must not be followed by an unfinished Update. The pointer stays valid until the
    // object is used again.
    const unsigned char* GetHash(const void* p, int len);
    int GetHashSize() const { return fHashSize; }

    // Swaps the four bytes of a word.
    static uint32_t REVERSE32(uint32_t x) {
        return (x >> 24) | ((x >> 8) & 0x0000FF00u) | ((x << 8) & 0x00FF0000u) | (x << 24);
    }

private:
    void Transform(const unsigned char* block);

    uint32_t fDigest[5];  // chaining words; after Final the digest bytes in standard order
    unsigned char fBuffer[64];
    int fBufferCount;
    uint64_t fBitCount;
    int fHashSize;
    bool fInitialized;
};

// CRC-32 over the reflected polynomial 0xEDB88320, as used by the file checksum test. The register
// starts at 0xFFFFFFFF and is reported without the final inversion of the usual CRC-32, so the
// value is the bitwise complement of the common checksum (123456789 gives 0x340BC6D9).
#pragma once

#include <cstdint>

// One running checksum. Not thread-safe: an object is used by one thread at a time (the lookup
// tables behind it are constant and shared).
class TCRC32 {
public:
    TCRC32() { InitCRC(); }

    void InitCRC() { fCRC = 0xFFFFFFFFu; }
    void UpdateCRC(unsigned char byte);
    // Feeds len bytes at p; len -1 means up to the first NUL. A null p or any other negative
    // length changes nothing.
    void UpdateCRC(const void* p, int len);
    // The register as it stands, without final inversion.
    uint32_t GetCRC() const { return fCRC; }
    // InitCRC, UpdateCRC(p, len), GetCRC.
    uint32_t GetBlockCRC(const void* p, int len);

private:
    uint32_t fCRC;
};

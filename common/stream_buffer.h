// CStreamBuffer: a growable byte queue of at most 1 MiB, the input and output of a connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Ovrin {

class CStreamBuffer {
public:
    static constexpr uint32_t kInitialCapacity = 1024;
    static constexpr uint32_t kMaxCapacity = 0x100000;
    // More pending than this counts as over the limit (output stops coalescing).
    static constexpr uint32_t kSoftLimit = 65536;

    CStreamBuffer();

    // Appends; throws and stays unchanged when the storage would exceed kMaxCapacity.
    void Write(const void* data, uint32_t length);
    // Takes up to count bytes; a null destination discards them.
    uint32_t Read(void* destination, uint32_t count);
    // 0 without a complete line (LF or CR LF); else consumes the line and its end and returns
    // the line's length plus one. The line goes to out when given.
    uint32_t ReadLine(std::string* out);
    // True when ReadLine would find a line.
    bool HasLine() const;

    uint32_t GetLength() const { return length; }
    const uint8_t* GetData() const { return storage.get() + start; }
    bool IsOverLimit() const { return length > kSoftLimit; }

private:
    // Offset of the line end's first byte and its size, or false.
    bool FindLineEnd(uint32_t& offset, uint32_t& size) const;

    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t capacity = kInitialCapacity;
    std::shared_ptr<uint8_t[]> storage;
};

}  // namespace Ovrin

// CStreamBuffer: the growable byte queue with its limit.
#include "common/stream_buffer.h"

#include <cstring>

#include "common/exception.h"
#include "common/trace.h"

namespace Ovrin {

CStreamBuffer::CStreamBuffer() : storage(new uint8_t[kInitialCapacity]) {}

void CStreamBuffer::Write(const void* data, uint32_t count) {
    Traced([&] {
        if (data == nullptr || count == 0)
            throw CMessageException("Null data pointer or zero data length");
        uint64_t needed = static_cast<uint64_t>(length) + count;
        if (needed > capacity) {
            uint64_t grown = capacity;
            while (grown < needed) {
                grown *= 2;
                if (grown > kMaxCapacity)
                    throw CMessageException("Buffer size may not exceed %u", kMaxCapacity);
            }
            std::shared_ptr<uint8_t[]> larger(new uint8_t[grown]);
            if (length > 0)
                std::memcpy(larger.get(), storage.get() + start, length);
            storage = std::move(larger);
            capacity = static_cast<uint32_t>(grown);
            start = 0;
        } else if (static_cast<uint64_t>(start) + length + count > capacity) {
            std::memmove(storage.get(), storage.get() + start, length);
            start = 0;
        }
        std::memcpy(storage.get() + start + length, data, count);
        length += count;
    }, "CStreamBuffer::Write(0x%08x, %u)", LabelAddress(data), count);
}

uint32_t CStreamBuffer::Read(void* destination, uint32_t count) {
    return Traced([&] {
        if (count == 0)
            throw CMessageException("Invalid argument: zero buffer size");
        uint32_t taken = count < length ? count : length;
        if (taken > 0 && destination != nullptr)
            std::memcpy(destination, storage.get() + start, taken);
        length -= taken;
        start = length == 0 ? 0 : start + taken;
        return taken;
    }, "CStreamBuffer::Read(0x%08x, %u)", LabelAddress(destination), count);
}

bool CStreamBuffer::FindLineEnd(uint32_t& offset, uint32_t& size) const {
    const uint8_t* data = storage.get() + start;
    for (uint32_t i = 0; i < length; ++i) {
        if (data[i] == '\n') {
            offset = i;
            size = 1;
            return true;
        }
        if (data[i] == '\r' && i + 1 < length && data[i + 1] == '\n') {
            offset = i;
            size = 2;
            return true;
        }
    }
    return false;
}

bool CStreamBuffer::HasLine() const {
    uint32_t offset, size;
    return FindLineEnd(offset, size);
}

uint32_t CStreamBuffer::ReadLine(std::string* out) {
    return Traced([&] {
        uint32_t offset, size;
        if (!FindLineEnd(offset, size))
            return 0u;
        if (out != nullptr)
            out->assign(reinterpret_cast<const char*>(storage.get() + start), offset);
        length -= offset + size;
        start = length == 0 ? 0 : start + offset + size;
        return offset + 1;
    }, "CStreamBuffer::ReadLine(0x%08x)", LabelAddress(out));
}

}  // namespace Ovrin

#include "OtaFrameReader.h"

#include <algorithm>
#include <cstring>

namespace qz {
namespace daemon {

namespace {

int32_t ReadBigEndian32(const unsigned char* bytes)
{
    uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                     (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
    return static_cast<int32_t>(value);
}

size_t ClampedPayloadLength(int32_t announced)
{
    if (announced <= 0)
        return 0;
    return std::min(static_cast<size_t>(announced), kFramePayloadCapacity);
}

}  // namespace

OtaFrame DecodeOtaFrame(const unsigned char* frame)
{
    OtaFrame decoded;
    decoded.nSize = ReadBigEndian32(frame);
    decoded.nArg4 = ReadBigEndian32(frame + 4);
    decoded.nArg5 = ReadBigEndian32(frame + 8);
    decoded.nArg1 = ReadBigEndian32(frame + 12);
    decoded.payload = {frame + kFrameHeaderSize, ClampedPayloadLength(decoded.nSize)};
    return decoded;
}

size_t OtaFrameReader::Feed(const void* data, size_t length, const FrameHandler& onFrame)
{
    auto bytes = static_cast<const unsigned char*>(data);
    size_t frames = 0;
    while (length > 0) {
        if (m_fill == 0 && length >= kFrameSize) {
            ++frames;
            if (onFrame)
                onFrame(DecodeOtaFrame(bytes));
            bytes += kFrameSize;
            length -= kFrameSize;
            continue;
        }
        size_t take = std::min(length, kFrameSize - m_fill);
        memcpy(m_partial + m_fill, bytes, take);
        m_fill += take;
        bytes += take;
        length -= take;
        if (m_fill == kFrameSize) {
            // Emptied before the handler runs: a handler that throws leaves
            // the reader ready for the next frame.
            m_fill = 0;
            ++frames;
            if (onFrame)
                onFrame(DecodeOtaFrame(m_partial));
        }
    }
    return frames;
}

}  // namespace daemon
}  // namespace qz

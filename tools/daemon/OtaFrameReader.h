// Cuts the OTA byte stream into its fixed 4096-byte frames.
//
// Pure and socket-free: the daemon feeds whatever a read returned, a fuzzer
// feeds arbitrary bytes. A frame may arrive in any number of pieces and a
// piece may hold several frames.
#ifndef QZ_DAEMON_OTA_FRAME_READER_H
#define QZ_DAEMON_OTA_FRAME_READER_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qz {
namespace daemon {

constexpr size_t kFrameSize = 4096;
constexpr size_t kFrameHeaderSize = 16;
constexpr size_t kFramePayloadCapacity = kFrameSize - kFrameHeaderSize;  // 4080

// Bytes of a frame where they lie: in the caller's buffer when the frame
// arrived whole, else in the reader's. Valid during the frame handler only.
struct PayloadView {
    const unsigned char* bytes = nullptr;
    size_t length = 0;

    const unsigned char* data() const { return bytes; }
    size_t size() const { return length; }
    const unsigned char* begin() const { return bytes; }
    const unsigned char* end() const { return bytes + length; }
};

struct OtaFrame {
    // Header words as the sender wrote them, big-endian on the wire; note the
    // order: the length first, the sender's first argument last.
    int32_t nSize = 0;
    int32_t nArg4 = 0;
    int32_t nArg5 = 0;
    int32_t nArg1 = 0;
    // The first nSize payload bytes, nSize clamped to 0..4080: a negative or
    // oversized length never reads outside the frame. Not copied.
    PayloadView payload;
};

// Decodes one complete frame; frame must hold kFrameSize bytes and outlive
// the result's payload.
OtaFrame DecodeOtaFrame(const unsigned char* frame);

class OtaFrameReader {
public:
    using FrameHandler = std::function<void(const OtaFrame&)>;

    // Appends data to the pending bytes and hands every completed frame to
    // onFrame, in stream order. Returns the number of frames completed.
    // Whole frames in `data` are decoded where they lie; only a frame cut
    // across two calls is gathered in the reader's own buffer.
    size_t Feed(const void* data, size_t length, const FrameHandler& onFrame);

    // Bytes of a frame begun but not completed; non-zero at the end of a
    // stream means the sender stopped mid-frame.
    size_t PendingBytes() const { return m_fill; }

    void Reset() { m_fill = 0; }

private:
    unsigned char m_partial[kFrameSize] = {};
    size_t m_fill = 0;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OTA_FRAME_READER_H

// The reference daemon's OTA frame reader over an arbitrary byte stream cut
// into arbitrary pieces, as reads from a socket arrive. The first input byte
// picks the cutting; the rest is the stream. Checked against the stream
// itself: one frame per whole 4096 bytes, in order, each header word read
// big-endian from its place, the payload the announced length clamped to
// the frame, and the unfinished tail reported as pending.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "OtaFrameReader.h"

namespace {

using qz::daemon::kFrameHeaderSize;
using qz::daemon::kFramePayloadCapacity;
using qz::daemon::kFrameSize;
using qz::daemon::OtaFrame;

int32_t WordAt(const uint8_t* bytes)
{
    return static_cast<int32_t>((uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                                (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]});
}

// Piece lengths from 1 byte up to a little over two frames, varied by the
// selector so that pieces end inside headers, inside payloads and on frame
// boundaries.
size_t PieceLength(uint8_t selector, size_t index)
{
    static const size_t kLengths[] = {1, 3, 15, 16, 17, 4095, 4096, 4097, 9000};
    return kLengths[(selector + index * (selector | 1)) % (sizeof(kLengths) / sizeof(*kLengths))];
}

void CheckFrame(const OtaFrame& frame, const uint8_t* raw)
{
    QZ_FUZZ_CHECK(frame.nSize == WordAt(raw));
    QZ_FUZZ_CHECK(frame.nArg4 == WordAt(raw + 4));
    QZ_FUZZ_CHECK(frame.nArg5 == WordAt(raw + 8));
    QZ_FUZZ_CHECK(frame.nArg1 == WordAt(raw + 12));
    size_t expected = frame.nSize <= 0 ? 0 : static_cast<size_t>(frame.nSize);
    if (expected > kFramePayloadCapacity)
        expected = kFramePayloadCapacity;
    QZ_FUZZ_CHECK(frame.payload.size() == expected);
    QZ_FUZZ_CHECK(std::equal(frame.payload.begin(), frame.payload.end(), raw + kFrameHeaderSize));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QzFuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    qz::daemon::OtaFrameReader reader;
    size_t seen = 0;
    size_t counted = 0;
    size_t offset = 0;
    for (size_t piece = 0; offset < length; ++piece) {
        size_t take = std::min(PieceLength(selector, piece), length - offset);
        counted += reader.Feed(stream + offset, take, [&](const OtaFrame& frame) {
            QZ_FUZZ_CHECK((seen + 1) * kFrameSize <= offset + take);
            CheckFrame(frame, stream + seen * kFrameSize);
            ++seen;
        });
        offset += take;
    }
    QZ_FUZZ_CHECK(seen == length / kFrameSize);
    QZ_FUZZ_CHECK(counted == seen);
    QZ_FUZZ_CHECK(reader.PendingBytes() == length % kFrameSize);

    // A frame decoded straight from the stream agrees with the reader's.
    if (length >= kFrameSize)
        CheckFrame(qz::daemon::DecodeOtaFrame(stream), stream);
    return 0;
}

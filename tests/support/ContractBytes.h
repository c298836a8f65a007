// The bytes the daemon is given, written out in full: a request record, an OTA frame header
// and a cabinet report. Fixed here, not derived from the code under test, so that every build
// (32-bit or 64-bit, either byte order of the host's tools) is held to the same image.
#ifndef QZ_TEST_CONTRACT_BYTES_H
#define QZ_TEST_CONTRACT_BYTES_H

#include <string>

namespace qztest {

// Six empty strings, each its length 1 (little-endian) and the zero byte.
inline const std::string kSixEmptyStrings =
    "010000000001000000000100000000010000000001000000000100000000";

// A cabinet report: a default record that carries the value (four bytes, least significant
// first) as its product type: the total 0, the value, the URL flag 0, upgrade type 0, host
// check 0.
inline std::string CabinetReportHex(const std::string& valueHex)
{
    return kSixEmptyStrings + "00000000" + valueHex + "00" + "00000000" + "00000000";
}

// OTA frames: the header, big-endian (size, arg5, arg4, arg1), then the payload (size bytes of
// fill; none for a negative size) and zeros to 4096 bytes.
struct OtaFrameCase {
    int arg1, size, arg4, arg5;
    unsigned char fill;
    const char* header;
};
inline constexpr OtaFrameCase kOtaFrames[] = {
    {0x01020304, 4080, -2, 7, 0xff, "00000ff0fffffffe0000000701020304"},
    {5, 3, 0, 1, 0x5a, "00000003000000000000000100000005"},
    {6, -4, 0, 0, 0x00, "fffffffc000000000000000000000006"},
};

}  // namespace qztest

#endif  // QZ_TEST_CONTRACT_BYTES_H

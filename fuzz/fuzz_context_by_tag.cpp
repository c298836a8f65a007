// GetContextbyTag over arbitrary information-file text and tag names: the
// input up to its first newline (at most 64 bytes) is the tag, the rest is
// the content; each input is searched with and without unwrapping.
// The checks are properties of a plain-text element search: no element, no
// text; the text found lies right after the opening mark's ">"; unwrapping
// only trims the plain result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "SWUpgradeInterface.h"

namespace {

constexpr size_t kMaxTag = 64;

struct Input {
    std::string tag;
    std::string content;
};

Input Split(const uint8_t* data, size_t size)
{
    Input in;
    std::string rest(reinterpret_cast<const char*>(data), size);
    size_t newline = rest.find('\n');
    size_t tagLength = std::min(newline == std::string::npos ? rest.size() : newline, kMaxTag);
    // The tag travels as a C string: it ends at its first zero byte.
    in.tag = std::string(rest.c_str(), std::min(tagLength, std::string(rest.c_str()).size()));
    in.content = rest.substr(std::min(rest.size(), tagLength + 1));
    return in;
}

void CheckPlain(const Input& in, const std::string& plain)
{
    const std::string open = "<" + in.tag;
    const std::string close = "</" + in.tag + ">";
    size_t openAt = in.content.find(open);
    if (openAt == std::string::npos || in.content.find(close) == std::string::npos) {
        QZ_FUZZ_CHECK(plain.empty());
        return;
    }
    size_t bracket = in.content.find('>', openAt);
    if (bracket == std::string::npos) {
        // The only closing mark stands before an opening mark that never
        // ends: there is no value to return.
        QZ_FUZZ_CHECK(plain.empty());
        return;
    }
    size_t start = bracket + 1;
    QZ_FUZZ_CHECK(start + plain.size() <= in.content.size());
    QZ_FUZZ_CHECK(in.content.compare(start, plain.size(), plain) == 0);
    // The value ends at the first closing mark, or at the end of the text
    // when that mark stands before the value.
    size_t closeAt = in.content.find(close);
    size_t end = closeAt >= start ? closeAt : in.content.size();
    QZ_FUZZ_CHECK(plain.size() == end - start);
}

void CheckUnwrapped(const std::string& plain, const std::string& unwrapped)
{
    if (plain.find("CDATA") == std::string::npos) {
        QZ_FUZZ_CHECK(unwrapped == plain);
        return;
    }
    // Unwrapping only removes characters from the two ends of the value.
    QZ_FUZZ_CHECK(unwrapped.size() <= plain.size());
    QZ_FUZZ_CHECK(plain.find(unwrapped) != std::string::npos);
    if (plain.size() >= 12)
        QZ_FUZZ_CHECK(unwrapped == plain.substr(9, plain.size() - 12));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QzFuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in = Split(data, size);
    std::string plain = GetContextbyTag(in.content, in.tag.c_str(), false);
    CheckPlain(in, plain);
    std::string unwrapped = GetContextbyTag(in.content, in.tag.c_str(), true);
    CheckUnwrapped(plain, unwrapped);
    return 0;
}

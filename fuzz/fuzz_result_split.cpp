// The "&" split of the stored upgrade result. The daemon writes the text
// and the library trusts nothing about it: any byte sequence, any number of
// separators. Checked: fields that exist hold exactly the text between their
// separators, fields that do not exist keep what they held, and joining the
// fields again gives back the text up to the fifth separator.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "SWUpgradeResultText.h"

namespace {

const char* const kUntouched = "\x01untouched";

std::string* FieldAt(stSWUpgradeResult& result, size_t index)
{
    std::string* const fields[] = {&result.szPending, &result.szID, &result.szResult,
                                   &result.szProcess, &result.szExtra};
    return fields[index];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QzFuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    stSWUpgradeResult result{kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    qz::swu::SplitStoredResult(text, result);

    // Field i exists when at least i separators are present.
    size_t separators = 0;
    for (char c : text)
        separators += (c == '&');
    const size_t present = separators + 1 < 5 ? separators + 1 : 5;

    std::string joined;
    for (size_t i = 0; i < 5; ++i) {
        const std::string& field = *FieldAt(result, i);
        if (i >= present) {
            QZ_FUZZ_CHECK(field == kUntouched);
            continue;
        }
        QZ_FUZZ_CHECK(field.find('&') == std::string::npos);
        if (i > 0)
            joined += '&';
        joined += field;
    }
    // Everything from the fifth separator on is dropped, nothing before it.
    QZ_FUZZ_CHECK(text.compare(0, joined.size(), joined) == 0);
    QZ_FUZZ_CHECK(joined.size() == text.size() || text[joined.size()] == '&');
    if (present < 5)
        QZ_FUZZ_CHECK(joined.size() == text.size());
    return 0;
}

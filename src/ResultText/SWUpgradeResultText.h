// Text format of the stored upgrade result: "pending&id&result&process&extra".
// Internal (target qz-swu-result-text); kept inline so that the fuzz target
// can call it without the library exporting it.
#ifndef QZ_SWUPGRADE_RESULT_TEXT_H
#define QZ_SWUPGRADE_RESULT_TEXT_H

#include <string>

#include "SWUpgradeTypes.h"

namespace qz {
namespace swu {

// Splits text on '&' into the five fields of result, in order. A field
// exists only when the '&' that opens it is present; fields that do not
// exist keep what they held, so a short record never wipes older values.
// Text after the fifth field is ignored.
inline void SplitStoredResult(const std::string& text, stSWUpgradeResult& result)
{
    std::string* const fields[] = {&result.szPending, &result.szID, &result.szResult,
                                   &result.szProcess, &result.szExtra};
    std::string::size_type start = 0;
    for (std::string* field : fields) {
        const std::string::size_type end = text.find('&', start);
        if (end == std::string::npos) {
            field->assign(text, start, std::string::npos);
            return;
        }
        field->assign(text, start, end - start);
        start = end + 1;
    }
}

}  // namespace swu
}  // namespace qz

#endif  // QZ_SWUPGRADE_RESULT_TEXT_H

// The information file that submit-info sends, checked before anything
// goes out: well-formed markup with a file name, a version and a size.
#ifndef QZ_SWU_CLI_INFO_FILE_H
#define QZ_SWU_CLI_INFO_FILE_H

#include <cstdint>
#include <optional>
#include <string>

namespace qzcli {

struct InfoFile {
    std::string softwareId;  // optional in the file
    std::string fileName;
    std::string version;
    uint32_t size = 0;
};

// Parses the content; nullopt with a message for the user in problem when
// it is not well-formed, lacks an element, or would read differently to
// the library (which finds the elements by plain text search).
std::optional<InfoFile> ParseInfoFile(const std::string& content, std::string& problem);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_INFO_FILE_H

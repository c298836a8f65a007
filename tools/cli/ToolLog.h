// Where the library's log lines and GLib's own warnings go while qz-swu
// runs: standard error with --verbose, the place QZ_PLATFORM_LOG names, or
// the tool's log file "qz-swu.log" in $XDG_RUNTIME_DIR or in a private
// folder (mode 0700) under the temporary folder. That file is opened without
// following symbolic links and kept under a size cap with one rotation
// ("qz-swu.log.1").
#ifndef QZ_SWU_CLI_TOOL_LOG_H
#define QZ_SWU_CLI_TOOL_LOG_H

#include <string>

namespace qzcli {

constexpr const char* kLogFileName = "qz-swu.log";
constexpr long long kLogCapBytes = 1024 * 1024;

// Chooses the destination and routes GLib's messages to it; must run before
// the library client exists. Returns a warning for the user when the log
// file could not be used safely (the log is then off), else empty.
std::string SetUpLog(bool verbose);

// For messages: a path, "standard error", "syslog" or "library log off".
const std::string& LogDescription();

// Rotates the tool's own file once it has passed the cap. Cheap; called
// from loops that run for long (watching, streaming).
void KeepLogWithinCap();

}  // namespace qzcli

#endif  // QZ_SWU_CLI_TOOL_LOG_H

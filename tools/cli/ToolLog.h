// Where the library's log lines, GLib's own warnings and the tool's notes go
// while qz-swu runs: standard error with --verbose, the place
// QZ_PLATFORM_LOG names, or the tool's log file "qz-swu.log" in
// $XDG_RUNTIME_DIR or in a private folder (mode 0700) under the temporary
// folder. That file is opened without following symbolic links and kept
// under a size cap with one rotation ("qz-swu.log.1").
//
// The library writes its lines with terminal colour codes and marks many
// of them as errors that are not (a value not stored yet). Its lines
// therefore reach the destination through a pipe that a thread of the tool
// reads: the codes are taken out, and the line about a value that could not
// be read is given the information level that it has for the tool.
#ifndef QZ_SWU_CLI_TOOL_LOG_H
#define QZ_SWU_CLI_TOOL_LOG_H

#include <string>

namespace qzcli {

constexpr const char* kLogFileName = "qz-swu.log";
constexpr long long kLogCapBytes = 1024 * 1024;

// Chooses the destination and routes the library's and GLib's messages to
// it; must run before the library client exists. Runs once; later calls
// return at once. Returns a warning for the user when the log file could
// not be used safely (the log is then off), else empty.
std::string SetUpLog(bool verbose);

// Writes what is still on its way and stops the reader; the library's later
// lines are dropped. Called once the client is gone, before the tool exits.
void FinishLog();

// Waits (a second at most) until the lines written so far have reached
// their destination, so that what the tool prints next comes after them.
void SettleLog();

// For messages: a path, "standard error" or "library log off".
const std::string& LogDescription();

// Whether the log goes to standard error (--verbose), where the tool's
// messages already stand.
bool LogIsStderr();

// One line of the tool's own ("qz-swu(PID): text") in the log, in order
// with the library's lines; nothing before SetUpLog or with the log off.
void LogNote(const std::string& text);

// The library's line as the tool writes it: without terminal control
// sequences, and at the information level when it only says that a value
// is not (yet) in the store.
std::string PlainLogLine(const std::string& line);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_TOOL_LOG_H

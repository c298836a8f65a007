// The subcommands of qz-swu. Each parses its own arguments (argv[0] is the
// subcommand's name) and returns the process exit code.
#ifndef QZ_SWU_CLI_COMMANDS_H
#define QZ_SWU_CLI_COMMANDS_H

#include "CliSupport.h"

namespace qzcli {

int RunSubmit(int argc, char** argv, GlobalOptions global);
int RunSubmitInfo(int argc, char** argv, GlobalOptions global);
int RunNotify(int argc, char** argv, GlobalOptions global);
int RunCabinet(int argc, char** argv, GlobalOptions global);
int RunCheckVersion(int argc, char** argv, GlobalOptions global);
int RunStatus(int argc, char** argv, GlobalOptions global);
int RunProgress(int argc, char** argv, GlobalOptions global);
int RunResult(int argc, char** argv, GlobalOptions global);
int RunOta(int argc, char** argv, GlobalOptions global);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_COMMANDS_H

#pragma once

// The host's command line: the table of options, its parser and the help
// texts built from that table.
//
// Options may stand before, between or after the operands; "--name value"
// and "--name=value" are the same; "--" ends the options (what follows is an
// operand even when it starts with '-'); a lone "-" is an operand. Short
// flags may be bundled ("-qf"). Each option names the commands it serves; one
// given to another command is a usage error rather than silently ignored.
// Adding an option is one line of the table in CommandLine.cpp.

#include "HostCommands.h"

namespace quillery_host {

// The status to run the command with: kRunCommand, or the exit status when
// the command line was answered (help, version) or refused (after its one
// line on stderr).
const int kRunCommand = -1;
int ParseCommandLine(int argc, char** argv, HostOptions& options);

}  // namespace quillery_host

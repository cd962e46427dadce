// The command line of `dace`: subcommands, their options and help.
#ifndef DACE_TOOLS_CLI_H
#define DACE_TOOLS_CLI_H

namespace dace_tool {

// Parses the arguments, runs the subcommand and returns the exit status.
int run_cli(int argc, char **argv);

} // namespace dace_tool

#endif // DACE_TOOLS_CLI_H

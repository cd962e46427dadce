#include "tools/cli.h"

int main(int argc, char **argv) { return dace_tool::run_cli(argc, argv); }

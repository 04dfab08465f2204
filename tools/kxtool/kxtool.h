// kxtool.h - subcommand entries. Each takes the arguments after the subcommand name and returns
// the process exit code. Add a subcommand: write kxtool_<name>.cpp and one line in kxtool_commands.inc.
#pragma once

int kxtool_version(int argc, char** argv);
#define KXTOOL_COMMAND(name, usage, fn) int fn(int argc, char** argv);
#include "kxtool_commands.inc"
#undef KXTOOL_COMMAND

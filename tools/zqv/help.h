// tools/zqv/help.h -- what --help and --version print.
#pragma once

#include "tools/zqv/options.h"

// The program's help (Command::None) or a command's, each with an example.
const char *HelpText(Command command);

// "zqv VERSION", the version of the build.
const char *VersionText();

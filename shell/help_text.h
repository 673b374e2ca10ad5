#pragma once

namespace vorn {

// The answer to "help": the commands by group, each with a line of description.
void printHelp();

}  // namespace vorn

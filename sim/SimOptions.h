#pragma once
// The command line of ecu-sim.

#include <string>
#include <vector>

#include "sim/SimConfig.h"

namespace sim {

struct CommandLine {
    Config config;
    int channel = -1;
    std::string memoryFile;
    bool help = false;
};

// False with *error for an unknown option, a missing or malformed value, or no --channel.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// The text of --help: every option and the choices the simulator makes.
std::string helpText();

}  // namespace sim

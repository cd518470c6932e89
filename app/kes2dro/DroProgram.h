#pragma once
// The file steps of the DRO program, run after the command file on the given ECU object with the
// options of the map: code and data flash read into files, then written from files, each step
// entered on the status screen.

#include <boost/program_options.hpp>
#include <cstdint>

class StepScreen;
class VODroGen;

void runDroFileSteps(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength,
                     StepScreen& screen);

// The DRO code-flash length from 0x70000 that the chip type ("t") gives.
uint64_t droCodeLength(const boost::program_options::variables_map& map);

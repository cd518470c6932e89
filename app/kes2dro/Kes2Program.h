#pragma once
// The file steps of the KES2 program, run after the command file on the given ECU object with the
// options of the map: code and data flash read into files, then written from files, each step
// entered on the status screen.

#include <boost/program_options.hpp>
#include <cstdint>

class StepScreen;
class VODroGen;

void runKes2FileSteps(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength,
                      StepScreen& screen);

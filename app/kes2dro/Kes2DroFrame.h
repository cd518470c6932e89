#pragma once
// The run both the KES2 and the DRO program make: options, one fixed interface, a VODroGen on the
// Fiat transport protocol, the status screen, the login with a RAM routine only, the ECU information,
// the RAM routine, the command file, then the program's own file steps. The exit code tells only
// whether the login (3), the RAM routine's upload (4) and its start (5) succeeded; 2 is a failed
// set-up, 1 an exception. Channel, protocol and ECU object are released before the frame returns.

#include <boost/program_options.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "app/kes2dro/Kes2DroOptions.h"

class VODroGen;

struct Kes2DroFrame {
    // describeKes2Options or describeDroOptions.
    void (*describeOptions)(int argc, char* argv[]);
    // Printed after the build date and time when a RAM routine is given.
    const char* versionText;
    // Reads the run values of the program's option table (the packet length at its width).
    void (*readValues)(const boost::program_options::variables_map& map, Kes2DroRunValues& values);
    // Steps that run after the command file, logged in or not; each enters its step on the screen.
    void (*fileSteps)(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength,
                      StepScreen& screen);
    bool lineBreakAfterError;
};

int runKes2DroFrame(const Kes2DroFrame& frame, int argc, char* argv[]);

// The step after a login: the ECU information when asked for, then the RAM routine, downloaded to
// its own start address and started there or at the Jump address cut to 32 bits. ramOk becomes false
// when the routine file cannot be read or the upload fails (nothing is started then), startOk when
// the start fails. The routine's step is entered on the screen once the ECU information is shown.
void runRamRoutine(VODroGen& ecu, const boost::program_options::variables_map& map,
                   const Kes2DroRunValues& values, bool& ramOk, bool& startOk, StepScreen& screen);

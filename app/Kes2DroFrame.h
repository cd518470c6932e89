#pragma once
// The run both the KES2 and the DRO program make: options, one fixed interface, a VODroGen on the
// Fiat transport protocol, the status screen, the login with a RAM routine only, the ECU information,
// the RAM routine, the command file, then the program's own file steps. The exit code tells only
// whether the login (3), the RAM download (4) and its start (5) succeeded; 2 is a failed set-up, 1 an
// exception. Channel, protocol and ECU object are released before the frame returns.

#include <boost/program_options.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Kes2DroOptions.h"

class VODroGen;

struct Kes2DroFrame {
    // describeKes2Options or describeDroOptions.
    void (*describeOptions)(int argc, char* argv[]);
    // Printed after the build date and time when a RAM routine is given.
    const char* versionText;
    // Reads the run values of the program's option table (the packet length at its width).
    void (*readValues)(const boost::program_options::variables_map& map, Kes2DroRunValues& values);
    // Steps that run after the command file, logged in or not.
    void (*fileSteps)(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength);
    bool lineBreakAfterError;
};

int runKes2DroFrame(const Kes2DroFrame& frame, int argc, char* argv[]);

// The step after a login: the ECU information when asked for, then the RAM routine, downloaded to
// its own start address and started there or at the Jump address cut to 32 bits. ramOk and startOk
// become false when the download or the start fails.
void runRamRoutine(VODroGen& ecu, const boost::program_options::variables_map& map,
                   const Kes2DroRunValues& values, bool& ramOk, bool& startOk);

// The file steps of each program, run on the given ECU object with the options of the map.
void runKes2FileSteps(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength);
void runDroFileSteps(VODroGen& ecu, const boost::program_options::variables_map& map, uint64_t packetLength);

// Code- or data-flash bytes [address, address + length) read in packets of packetLength and, when the
// whole range came, written to fileName as Intel HEX with its first byte at baseAddress.
void readFlashToFile(VODroGen& ecu, bool codeFlash, uint64_t address, uint64_t length, uint64_t packetLength,
                     const std::string& fileName, uint64_t baseAddress);

// The DRO code-flash length from 0x70000 that the chip type ("t") gives.
uint64_t droCodeLength(const boost::program_options::variables_map& map);

// ecu-sim: a simulated ECU bootloader on the virtual bus (see --help).

#include <signal.h>

#include <sys/stat.h>
#include <iostream>
#include <string>
#include <vector>

#include "sim/EcuSimulator.h"
#include "sim/SimOptions.h"

int main(int argc, char** argv) {
    sim::CommandLine cl;
    std::string error;
    if (!sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cl, &error)) {
        std::cerr << "ecu-sim: " << error << "\n(ecu-sim --help lists the options)" << std::endl;
        return 2;
    }
    if (cl.help) {
        std::cout << sim::helpText() << std::flush;
        return 0;
    }

    // SIGTERM and SIGINT are taken by sigwait below; blocked before any thread starts (the XL
    // driver starts one), so no other thread takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // What was flashed is saved at the end; a memory file that cannot be written would lose it.
    if (!cl.memoryFile.empty() && !sim::Memory::canSave(cl.memoryFile, &error)) {
        std::cerr << "ecu-sim: " << error << std::endl;
        return 1;
    }
    sim::EcuSimulator ecu(cl.config);
    struct stat st {};
    if (!cl.memoryFile.empty() && stat(cl.memoryFile.c_str(), &st) == 0 &&
        !ecu.loadMemory(cl.memoryFile, &error)) {
        std::cerr << "ecu-sim: " << error << std::endl;
        return 1;
    }
    if (!ecu.start(static_cast<unsigned>(cl.channel), &error)) {
        std::cerr << "ecu-sim: " << error << std::endl;
        return 1;
    }
    std::cout << "ecu-sim: ready" << std::endl;

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    ecu.stop();
    if (!cl.memoryFile.empty() && !ecu.saveMemory(cl.memoryFile, &error)) {
        std::cerr << "ecu-sim: " << error << std::endl;
        return 1;
    }
    return 0;
}

// ecu-sim: a simulated ECU bootloader on the virtual bus (see --help).

#include <signal.h>

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/EcuSimulator.h"
#include "sim/SimOptions.h"

int main(int argc, char** argv) {
    sim::CommandLine cl;
    std::string error;
    if (!sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cl, &error)) {
        std::cerr << "ecu-sim: " << error << " (ecu-sim --help lists the options)" << std::endl;
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

    // What was flashed is saved at the end; a memory file that cannot be written would lose it, and
    // one that another simulator also saves would lose one of the two. A memory file this start
    // made is removed again when the start fails.
    std::unique_ptr<sim::FileLock> memoryLock;
    if (!cl.memoryFile.empty() && (!sim::Memory::canSave(cl.memoryFile, &error) ||
                                   !(memoryLock = sim::Memory::lock(cl.memoryFile, &error)))) {
        std::cerr << "ecu-sim: " << error << std::endl;
        return 1;
    }
    const auto refuse = [&] {
        std::cerr << "ecu-sim: " << error << std::endl;
        if (memoryLock && memoryLock->madeFile()) {
            unlink(cl.memoryFile.c_str());
        }
        return 1;
    };
    // A second simulator on the channel would answer each request beside this one.
    const std::unique_ptr<sim::FileLock> channelLock =
        sim::EcuSimulator::lockChannel(static_cast<unsigned>(cl.channel), &error);
    if (!channelLock && !error.empty()) {
        return refuse();
    }
    sim::EcuSimulator ecu(cl.config);
    struct stat st {};
    if (!cl.memoryFile.empty() && stat(cl.memoryFile.c_str(), &st) == 0 && st.st_size > 0 &&
        !ecu.loadMemory(cl.memoryFile, &error)) {
        return refuse();
    }
    if (!ecu.start(static_cast<unsigned>(cl.channel), &error)) {
        return refuse();
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

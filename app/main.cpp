// The process entry: picks the flash program by the value after "--ecuClass", runs it on the
// untouched command line and closes the run with the elapsed time and the key prompt.

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "app/FlashPrograms.h"
#include "app/Stopwatch.h"
#include "console/console.h"

namespace {

// Copies each argument into the next element of the list.
class storeArgument {
  public:
    explicit storeArgument(std::vector<std::string>& list) : list(list) {}
    void operator()(const char* argument) { list[index++] = argument != nullptr ? argument : ""; }

  private:
    std::vector<std::string>& list;
    size_t index = 0;
};

int runByClass(int argc, char* argv[]) {
    std::vector<std::string> arguments(argc > 0 ? static_cast<size_t>(argc) : 0);
    std::for_each(argv, argv + arguments.size(), storeArgument(arguments));

    std::string ecuClass;
    const auto flag = std::find(arguments.begin(), arguments.end(), "--ecuClass");
    if (flag != arguments.end() && flag + 1 != arguments.end()) {
        ecuClass = *(flag + 1);
    }
    if (ecuClass == "KES2") {
        return runKes2Program(argc, argv);
    }
    if (ecuClass == "DRO") {
        return runDroProgram(argc, argv);
    }
    if (ecuClass == "RH850") {
        return runRh850Program(argc, argv);
    }
    if (ecuClass == "CYT2") {
        return runCyt2Program(argc, argv);
    }
    if (ecuClass == "NXP") {
        return runNxpProgram(argc, argv);
    }
    warningOut << "warning: The ecuClass parameter has not been properly provided." << std::endl;
    warningOut << "warning: We will use the default ecuClass RH850." << std::endl;
    return runRh850Program(argc, argv);
}

}  // namespace

int main(int argc, char* argv[]) {
    const Stopwatch stopwatch;
    int result = 1;
    // Whatever escapes a program ends the run as a failure with its text, never as an abort.
    try {
        result = runByClass(argc, argv);
    } catch (const std::exception& e) {
        errorOut << std::endl << "Error: " << e.what() << std::endl;
        result = 1;
    } catch (...) {
        errorOut << std::endl << "Error: unknown exception" << std::endl;
        result = 1;
    }
    const float seconds = static_cast<float>(stopwatch.elapsed().count()) / 1e9f;
    infoOut << "Time elapsed: " << seconds << " seconds " << std::endl;
    setCursorInfo(true, 20);
    waitForKeyPress();
    return result;
}

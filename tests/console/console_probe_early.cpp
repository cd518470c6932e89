// Uses the console streams from a static initialiser and a static destructor of another file.

#include <cstdlib>

#include "console/console.h"

namespace {

struct EarlyUser {
    EarlyUser() {
        if (std::getenv("CONSOLE_PROBE_EARLY") != nullptr) {
            infoOut << "early\n";
        }
    }
    ~EarlyUser() {
        if (std::getenv("CONSOLE_PROBE_EARLY") != nullptr) {
            errorOut << "late\n";
        }
    }
};

EarlyUser earlyUser;

}  // namespace

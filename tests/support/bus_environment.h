#pragma once
// The environment of a test on a virtual bus of its own: the driver's channel list
// (VOFLASH_XL_CONFIG, written into a scratch folder of the test), the folder the buses live in
// (VOFLASH_BUS_DIR, "bus" in that folder) and, where asked, a lock-name prefix of the test's own.
// At the end the driver variables (the bus timing a test may switch on included) get back the
// values they had before, and the scratch folder goes.

#include <stdlib.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "tests/support/lock_prefix.h"
#include "tests/support/scratch_dir.h"

namespace testing_support {

class BusEnvironment {
  public:
    // driverConfig: the text of the channel list; without it VOFLASH_XL_CONFIG stays as it is (unset,
    // the driver lists its built-in channels). lockPrefix: the fallback of a ProcessLockPrefix held
    // for the object's lifetime; without it the lock prefix stays as it is.
    explicit BusEnvironment(const std::optional<std::string>& driverConfig,
                            const std::optional<std::string>& lockPrefix = std::nullopt) {
        for (auto& [name, value] : saved_) {
            const char* now = std::getenv(name);
            if (now != nullptr) {
                value = now;
            }
        }
        if (lockPrefix) {
            locks_.emplace(*lockPrefix);
        }
        setenv("VOFLASH_BUS_DIR", dir_.path("bus").c_str(), 1);
        if (driverConfig) {
            setenv("VOFLASH_XL_CONFIG", dir_.writeText("xl.cfg", *driverConfig).c_str(), 1);
        }
    }
    ~BusEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    BusEnvironment(const BusEnvironment&) = delete;
    BusEnvironment& operator=(const BusEnvironment&) = delete;

    // The scratch folder: the configuration, the buses and whatever else the test keeps there.
    const ScratchDir& dir() const { return dir_; }
    const std::string& path() const { return dir_.path(); }
    // The folder of one bus.
    std::string busDir(const std::string& bus) const { return dir_.path("bus/" + bus); }

  private:
    std::array<std::pair<const char*, std::optional<std::string>>, 3> saved_{{
        {"VOFLASH_XL_CONFIG", std::nullopt},
        {"VOFLASH_BUS_DIR", std::nullopt},
        {"VOFLASH_BUS_TIMING", std::nullopt},
    }};
    std::optional<ProcessLockPrefix> locks_;
    ScratchDir dir_;
};

}  // namespace testing_support

// A whole KES2 run inside the test process: when it returns, the channel it opened is closed and its
// receive thread has ended. One run per process, since the option map is the process's.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/FlashPrograms.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/support/bus_environment.h"

namespace {

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

TEST(Kes2DroRunEnd, ChannelClosedWhenTheProgramReturns) {
    // A virtual bus of this test's own; nobody else is on it.
    const testing_support::BusEnvironment environment(std::nullopt);
    std::filesystem::create_directories(environment.dir().path("bus"));
    apptest::CommandLine line({"--ecuClass", "KES2", "--Com", "9", "--p", "1", "--nv"});
    const size_t before = threadCount();
    int exitCode = -1;
    {
        ecutest::StreamCapture out;
        exitCode = runKes2Program(line.argc(), line.argv());
        EXPECT_EQ(out.normal().find("Invalid parameters"), std::string::npos) << out.normal();
    }
    // The channel opened (no set-up failure) and no login was made.
    EXPECT_EQ(exitCode, 3);
    EXPECT_EQ(threadCount(), before);
}

}  // namespace

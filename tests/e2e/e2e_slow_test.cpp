// The long end-to-end cases: the 30 s login failure and reads of the default lengths.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/E2eSupport.h"

namespace {

using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;

// An ECU that never answers the login: the run gives up after 30 s with 3, without the closing lines.
TEST(SlowSession, LoginFailureEndsWith3) {
    E2eEnv env;
    SimProcess sim(env, {"--class", "CYT2", "--no-answer", "BA"});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const RunResult r = env.runVoflash({"--ecuClass", "CYT2", "-n"});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_NE(r.out.find("Login failed (KO) !!!"), std::string::npos) << describe(r);
    EXPECT_EQ(r.out.find("Time elapsed: "), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_GT(r.seconds, 29.0);
    EXPECT_LT(r.seconds, 60.0);
}

// A refusing ECU (negative replies at once) is asked about once per 300 ms, not thousands of times.
TEST(SlowSession, RefusedLoginIsPaced) {
    E2eEnv env;
    SimProcess sim(env, {"--class", "RH850", "--nrc", "BA:22"});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const RunResult r = env.runVoflash({"--ecuClass", "RH850", "-n"});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    size_t lines = 0;
    for (size_t at = r.out.find("NRC"); at != std::string::npos; at = r.out.find("NRC", at + 1)) {
        ++lines;
    }
    EXPECT_GT(lines, 20u) << describe(r);
    EXPECT_LT(lines, 150u) << describe(r);
}

// RH850 --readCode without a length reads the default 0x80000 bytes from 0.
TEST(SlowSession, Rh850ReadCodeOfTheDefaultLength) {
    E2eEnv env;
    SimProcess sim(env, {"--class", "RH850"});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const RunResult r = env.runVoflash({"--ecuClass", "RH850", "-n", "--readCode", env.path("all.hex")});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    const auto text = env.read("all.hex");
    ASSERT_TRUE(text.has_value());
    const auto map = e2e::readImageText(*text);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->size(), 0x80000u);
    EXPECT_EQ(e2e::bytesOf(*map, 0, 0x80000, 0), e2e::Bytes(0x80000, 0xFF));
}

}  // namespace

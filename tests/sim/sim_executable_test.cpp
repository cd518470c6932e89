// The ecu-sim executable: ready line, memory file kept across runs, clean end on SIGTERM, its
// command line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ecu/VORh850Gen.h"
#include "sim/SimOptions.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/sim/sim_fixture.h"

extern char** environ;

namespace simtest {
namespace {

// ecu-sim run as a child process with its standard output on a pipe.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> all{ECU_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ECU_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fd_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Standard output up to its first line end, within timeoutMs.
    std::string firstLine(int timeoutMs = 10000) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char c = 0;
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
                read(fd_, &c, 1) != 1) {
                break;
            }
            line += c;
        }
        return line;
    }

    // Sends the signal and returns the exit code (-1 when it did not end normally in time).
    int stop(int signal) {
        kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

class ExecutableTest : public ::testing::Test {
  protected:
    testing_support::BusEnvironment environment{kBusConfig, "tsimexe"};
};

TEST_F(ExecutableTest, ServesUntilSignalledAndKeepsItsMemoryFile) {
    const std::string memory = environment.path() + "/rh850.bin";
    const Bytes data = pattern(0x200);
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        SimProcess process({"--class", "RH850", "--channel", "1", "--memory", memory});
        ASSERT_EQ(process.firstLine(), "ecu-sim: ready\n");
        {
            Tool<VORh850Gen> tool;
            ASSERT_TRUE(tool.attached);
            ecutest::StreamCapture out;
            ASSERT_TRUE(tool.loginWithRetry());
            Bytes back(data.size());
            ASSERT_TRUE(tool.ecu.ReadCode(back, 0x20000, back.size(), nullptr, 2));
            if (signal == SIGTERM) {
                // First run: the flash is erased; write it.
                EXPECT_EQ(back, Bytes(data.size(), 0xFF));
                ASSERT_TRUE(tool.ecu.FlashCode(data, 0x20000, data.size(), true, nullptr, 2, 0x100));
            } else {
                // Second run: loaded from the file the first one saved.
                EXPECT_EQ(back, data);
            }
        }
        EXPECT_EQ(process.stop(signal), 0);
    }
    std::ifstream in(memory, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 0x400000u + 0x10000u);
    EXPECT_EQ(Bytes(file.begin() + 0x20000, file.begin() + 0x20200), data);
}

TEST_F(ExecutableTest, RefusesABadCommandLineAndAMissingChannel) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--class", "FOO", "--channel", "1"},
                                                 {"--class", "DRO"},
                                                 {"--channel", "9"}}) {
        SimProcess process(args);
        EXPECT_EQ(process.firstLine(3000), "");
        EXPECT_NE(process.stop(0), 0);
    }
}

TEST_F(ExecutableTest, ChannelOutsideTheListIsRefusedWithItsReason) {
    for (const bool lin : {false, true}) {
        SCOPED_TRACE(lin ? "LIN" : "CAN");
        sim::Config config;
        config.lin = lin;
        sim::EcuSimulator simulator(config);
        std::string error;
        EXPECT_FALSE(simulator.start(2, &error));
        EXPECT_EQ(error, "no channel 2 in the driver's channel list (2 channels)");
        EXPECT_FALSE(simulator.running());
    }
}

TEST(SimOptions, HelpDocumentsEveryOption) {
    const std::string help = sim::helpText();
    for (const char* option :
         {"--class",         "--channel",         "--req-id",       "--resp-id",       "--address",
          "--lin",           "--login-code",      "--flash-key",    "--ecu-info",      "--option-byte",
          "--require-login", "--data-read-pages", "--block-size",   "--st-min",        "--start-checks-crc",
          "--memory",        "--no-answer",       "--nrc",          "--wrong-ram-crc", "--delay",
          "--duplicate",     "--pending",         "--short-frames", "--drop-cf"}) {
        EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;
        sim::CommandLine cl;
        std::string error;
        // Every documented option is known to the parser (a value-less call fails on the value,
        // never as unknown).
        sim::parseCommandLine({option}, &cl, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << option;
    }
}

TEST(SimOptions, ValuesAndFaultsAreParsed) {
    sim::CommandLine cl;
    std::string error;
    ASSERT_TRUE(sim::parseCommandLine(
        {"--class",          "CYT2",       "--channel",    "3",          "--req-id",    "0x18DA10F1",
         "--resp-id",        "1603",       "--login-code", "0102030405", "--flash-key", "0x1122",
         "--option-byte",    "2=DEADBEEF", "--no-answer",  "BA:5",       "--nrc",       "BB70:72",
         "--delay=*:1500:2", "--drop-cf",  "BB71:3"},
        &cl, &error))
        << error;
    EXPECT_EQ(cl.channel, 3);
    EXPECT_EQ(cl.config.ecuClass, sim::EcuClass::kCyt2);
    EXPECT_EQ(cl.config.requestId, 0x18DA10F1u);
    EXPECT_EQ(cl.config.responseId, 1603u);
    EXPECT_EQ(cl.config.loginCode, (std::array<uint8_t, 5>{1, 2, 3, 4, 5}));
    EXPECT_EQ(cl.config.flashKey, 0x1122u);
    EXPECT_EQ(cl.config.optionBytes.at(2), 0xDEADBEEFu);
    ASSERT_EQ(cl.config.faults.size(), 4u);
    EXPECT_EQ(cl.config.faults[0].service, Bytes{0xBA});
    EXPECT_EQ(cl.config.faults[0].times, 5u);
    EXPECT_EQ(cl.config.faults[1].service, (Bytes{0xBB, 0x70}));
    EXPECT_EQ(cl.config.faults[1].value, 0x72u);
    EXPECT_EQ(cl.config.faults[1].times, 0u);
    EXPECT_TRUE(cl.config.faults[2].service.empty());
    EXPECT_EQ(cl.config.faults[2].value, 1500u);
    EXPECT_EQ(cl.config.faults[2].times, 2u);
    EXPECT_EQ(cl.config.faults[3].value, 3u);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--channel", "1", "--login-code", "01020304"},
          {"--channel", "1", "--nrc", "BB70"},
          {"--channel", "1", "--no-answer", "B:1"},
          {"--channel", "1", "--no-answer", "BA:0"},
          {"--channel", "1", "--req-id", "0x20000000"},
          {"--channel", "1", "--lin=1"},
          {"--channel"}}) {
        EXPECT_FALSE(sim::parseCommandLine(bad, &cl, &error)) << bad.back();
    }
}

// An option given twice is refused, as the tool refuses one; --option-byte may repeat for other
// indexes and the faults add up.
TEST(SimOptions, RepeatedOptionsAreRefused) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {{"--class", "RH850", "--class", "CYT2"}, "--class given more than once"},
        {{"--channel", "1", "--channel=2"}, "--channel given more than once"},
        {{"--lin", "--lin"}, "--lin given more than once"},
        {{"--memory=a.bin", "--memory", "b.bin"}, "--memory given more than once"},
        {{"--wrong-ram-crc", "--wrong-ram-crc"}, "--wrong-ram-crc given more than once"},
        {{"--option-byte", "0=11", "--option-byte", "0x0=22"}, "--option-byte 0 given more than once"},
        {{"--help", "--help"}, "--help given more than once"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> args = {"--req-id", "0x6F1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        sim::CommandLine cl;
        std::string error;
        EXPECT_FALSE(sim::parseCommandLine(args, &cl, &error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
    sim::CommandLine cl;
    std::string error;
    ASSERT_TRUE(
        sim::parseCommandLine({"--channel", "1", "--option-byte", "0=11", "--option-byte", "1=22", "--nrc",
                               "BA:35", "--nrc", "BB:31", "--delay", "BA:10", "--delay", "BB:20"},
                              &cl, &error))
        << error;
    EXPECT_EQ(cl.config.optionBytes.at(0), 0x11u);
    EXPECT_EQ(cl.config.optionBytes.at(1), 0x22u);
    EXPECT_EQ(cl.config.faults.size(), 4u);
}

}  // namespace
}  // namespace simtest

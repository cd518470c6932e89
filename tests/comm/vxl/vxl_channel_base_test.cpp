// What every Vector channel shares: the driver calls its destructor makes, and the exception its
// open check throws for each way the open can fail.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "comm/ComVXLapiLIN.h"
#include "tests/comm/vxl/vxl_fixture.h"

// ---- the driver calls of a channel
// The test is linked with --wrap for these three driver functions (see CMakeLists.txt; the names
// are the linker's): every call comes here first, is logged with its result, and goes on to the
// driver.

namespace {

// Only the test thread makes these calls here (a receive thread would on a bus-off report, which no
// test here sends).
std::vector<std::string> callLog;

XLstatus logged(const std::string& call, XLstatus status) {
    callLog.push_back(call + " -> " + std::to_string(status));
    return status;
}

std::string portCall(const char* name, XLportHandle port) {
    return std::string(name) + " port " + std::to_string(port);
}

}  // namespace

extern "C" {
XLstatus __real__Z19xlDeactivateChanneljm(XLportHandle port, XLaccess mask);
XLstatus __real__Z11xlClosePortj(XLportHandle port);
XLstatus __real__Z13xlCloseDriverv();

XLstatus __wrap__Z19xlDeactivateChanneljm(XLportHandle port, XLaccess mask) {
    return logged(portCall("xlDeactivateChannel", port) + " mask " + std::to_string(mask),
                  __real__Z19xlDeactivateChanneljm(port, mask));
}
XLstatus __wrap__Z11xlClosePortj(XLportHandle port) {
    return logged(portCall("xlClosePort", port), __real__Z11xlClosePortj(port));
}
XLstatus __wrap__Z13xlCloseDriverv() {
    return logged("xlCloseDriver", __real__Z13xlCloseDriverv());
}
}

namespace vxltest {
namespace {

using xltest::kA;
using xltest::kB;
using xltest::kF;

// A channel whose port and mask the test may read.
template <typename Channel>
class Probe : public Channel {
  public:
    using Channel::Channel;
    ~Probe() override { this->stopRxThread(); }
    XLportHandle port() const { return this->portHandle; }
    XLaccess mask() const { return this->accessMaskOf(this->hwChannel()); }
};
using CanProbe = Probe<ComVXLapiCAN>;
using LinProbe = Probe<ComVXLapiLIN>;

ComParamsVXLapiLIN linParams(uint32_t hwChannel, uint32_t mode, std::vector<uint8_t> slaveIds) {
    return ComParamsVXLapiLIN(1000, mode, true, slaveIds, {}, 1, 19200, kHwType, kHwIndex, hwChannel);
}

// The driver is not opened by the fixture: a channel's open and destructor are its only users, and
// a forked child can find it closed.
class ChannelBaseTest : public ChannelTest {
  protected:
    bool openDriverFirst() const override { return false; }
};

// ---- destructor

// A channel as the test made it, with the port and mask it holds.
struct Made {
    std::unique_ptr<ComVXLapi> channel;
    XLportHandle port;
    XLaccess mask;
};

template <typename Channel, typename Params>
Made opened(const Params& params, bool opens = true) {
    auto channel = std::make_unique<Channel>(params, 1);
    EXPECT_EQ(channel->ensureInit(), opens) << "lastError " << channel->getLastError();
    const XLportHandle port = channel->port();
    const XLaccess mask = channel->mask();
    return {std::move(channel), port, mask};
}

struct Teardown {
    const char* what;
    std::function<Made()> make;  // the channel, open or failed
    bool hasPort;
};

void PrintTo(const Teardown& c, std::ostream* os) {
    *os << c.what;
}

class DestructorTest : public ChannelBaseTest, public ::testing::WithParamInterface<Teardown> {};

// A channel with a port is deactivated, its port closed and the driver closed, in that order; one
// whose open failed before a port was opened makes no driver call (the driver it opened stays open).
TEST_P(DestructorTest, DeactivatesClosesThePortAndClosesTheDriver) {
    Made made = GetParam().make();
    ASSERT_EQ(made.port != XL_INVALID_PORTHANDLE, GetParam().hasPort);
    std::vector<std::string> expected;
    if (GetParam().hasPort) {
        ASSERT_NE(made.mask, 0u);
        expected = {
            portCall("xlDeactivateChannel", made.port) + " mask " + std::to_string(made.mask) + " -> 0",
            portCall("xlClosePort", made.port) + " -> 0", "xlCloseDriver -> 0"};
    }
    callLog.clear();
    made.channel.reset();
    EXPECT_EQ(callLog, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, DestructorTest,
    ::testing::Values(
        Teardown{"OpenCan", [] { return opened<CanProbe>(canParams(kA)); }, true},
        Teardown{"OpenCanFd", [] { return opened<CanProbe>(fdParams(kA)); }, true},
        Teardown{"OpenLinMaster", [] { return opened<LinProbe>(linParams(kF, XL_LIN_MASTER, {0x3C})); },
                 true},
        Teardown{"OpenLinSlave", [] { return opened<LinProbe>(linParams(kB, XL_LIN_SLAVE, {0x3D})); }, true},
        // The bit rate is refused after the port was opened.
        Teardown{"CanWhoseBitRateWasRefused", [] { return opened<CanProbe>(canParams(kA, 0), false); }, true},
        Teardown{"CanWithoutHardware", [] { return opened<CanProbe>(canParams(7), false); }, false}),
    [](const ::testing::TestParamInfo<Teardown>& info) { return std::string(info.param.what); });

// ---- the open check's exceptions

// What a channel whose open failed shows: the code left behind and what checkOpen throws.
struct Outcome {
    uint32_t lastError = 0;
    std::string type = "no exception";
    std::string description;
    std::string what;
};

Outcome outcomeOf(ComVXLapi& channel) {
    Outcome o;
    o.lastError = channel.getLastError();
    try {
        channel.checkOpen();
    } catch (const Communication::bad_open& e) {
        o.type = typeid(e).name();
        o.description = e.description();
        o.what = e.what();
    }
    return o;
}

Outcome openedOutcome(std::unique_ptr<ComVXLapi> channel) {
    EXPECT_FALSE(channel->ensureInit());
    return outcomeOf(*channel);
}

// A driver port that is given but refuses the access it was asked for.
class PortWithoutAccess : public CanProbe {
  public:
    using CanProbe::CanProbe;
    XLstatus openPort() override {
        CanProbe::openPort();
        return XL_ERR_INVALID_ACCESS;
    }
};

// The driver library cannot open: a child process without a free file descriptor opens the channel.
Outcome driverThatDoesNotOpen() {
    while (xlCloseDriver() == XL_SUCCESS) {
    }
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        CanProbe channel(canParams(kA), kRxId);
        // The sanitizer checks the channel's type on its first call as ComLIB_DLL and as ComVXLapi
        // with the help of a pipe: those checks are made here, while descriptors are left.
        (void)channel.isOpenFlag();
        (void)channel.isLibraryLoaded();
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlimit normal = limit;
        limit.rlim_cur = 0;
        setrlimit(RLIMIT_NOFILE, &limit);
        channel.open();
        setrlimit(RLIMIT_NOFILE, &normal);
        const Outcome o = outcomeOf(channel);
        const std::string text =
            std::to_string(o.lastError) + "\n" + o.type + "\n" + o.description + "\n" + o.what + "\n";
        const bool written = write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    Outcome o;
    std::istringstream lines(text);
    std::string code;
    std::getline(lines, code);
    o.lastError = static_cast<uint32_t>(std::strtoul(code.c_str(), nullptr, 10));
    std::getline(lines, o.type);
    std::getline(lines, o.description);
    std::getline(lines, o.what);
    return o;
}

// A channel never opened, with a code that the open steps never leave.
Outcome codeLeftBehind(uint32_t code) {
    CanProbe channel(canParams(kA), kRxId);
    channel.setLastError(code);
    return outcomeOf(channel);
}

struct OpenFailure {
    const char* what;
    std::function<Outcome()> cause;
    uint32_t lastError;
    const std::type_info& type;
    const char* description;
};

TEST_F(ChannelBaseTest, EachFailedOpenThrowsTheExceptionOfItsCode) {
    const OpenFailure cases[] = {
        {"driver does not open", driverThatDoesNotOpen, 201, typeid(ComVXLapi::bad_open_vxlapi_driver),
         "Could not open Vector LIN driver"},
        {"no such hardware channel",
         [] { return openedOutcome(std::make_unique<CanProbe>(canParams(7), kRxId)); }, 129,
         typeid(ComVXLapi::bad_open_vxlapi_hardware), "Hardware open failed, check CANcard and LINcab"},
        {"application configuration", [] { return codeLeftBehind(101); }, 101,
         typeid(ComVXLapi::bad_open_vxlapi_appl_config), "Invalid Applcation Configuration"},
        {"no port handle",
         [] {
             // The channel's bus cannot be reached, so the driver gives no port.
             const std::string busDir = std::getenv("VOFLASH_BUS_DIR");
             setenv("VOFLASH_BUS_DIR", "/proc/voflash-bus", 1);
             ::testing::internal::CaptureStderr();
             Outcome o = openedOutcome(std::make_unique<CanProbe>(canParams(kA), kRxId));
             ::testing::internal::GetCapturedStderr();
             setenv("VOFLASH_BUS_DIR", busDir.c_str(), 1);
             return o;
         },
         155, typeid(ComVXLapi::bad_open_vxlapi_handle), "Invalid CANcard handle"},
        {"port without access",
         [] { return openedOutcome(std::make_unique<PortWithoutAccess>(canParams(kA), kRxId)); }, 112,
         typeid(ComVXLapi::bad_open_vxlapi_access), "Invalid CANcard channel access"},
        {"LIN set-up refused",
         [] {
             return openedOutcome(std::make_unique<LinProbe>(linParams(kB, XL_LIN_SLAVE, {0x3D, 64}), 1));
         },
         111, typeid(ComVXLapi::bad_open_vxlapi_channel), "Set up Channel for Master or Slave failed"},
        {"receive queue", [] { return codeLeftBehind(10); }, 10, typeid(ComVXLapi::bad_open_vxlapi_rxqueue),
         "CANcard Rx queue is empty when it should not be"},
        {"bit rate refused",
         [] { return openedOutcome(std::make_unique<CanProbe>(canParams(kA, 0), kRxId)); }, 0,
         typeid(ComVXLapi::bad_open_vxlapi_data), "Set data for slave task failed"},
        {"any other code", [] { return codeLeftBehind(XL_ERR_WRONG_PARAMETER); },
         static_cast<uint32_t>(XL_ERR_WRONG_PARAMETER), typeid(ComVXLapi::bad_open_vxlapi_data),
         "Set data for slave task failed"},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = c.cause();
        EXPECT_EQ(o.lastError, c.lastError);
        EXPECT_EQ(o.type, c.type.name());
        EXPECT_EQ(o.description, c.description);
        EXPECT_EQ(o.what, std::string("Could not open Communication: ") + c.description);
    }
}

}  // namespace
}  // namespace vxltest

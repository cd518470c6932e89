// Frames per second and one-way latency between two processes on the virtual bus, through the XL
// driver calls as the channels make them (transmit; notification event, then receive).
//
//   xl_bus_bench [frames] [latency samples]
//
// Throughput: one process transmits classic 8-byte frames as fast as the bus takes them; the rate
// is the frame count over the time from the first transmit to the last frame's reception in the
// other process. Latency: frames sent one at a time, every 200 us, each carrying its transmit
// time (CLOCK_MONOTONIC, common to both processes); the receiver takes the difference when
// xlReceive hands the frame over. Both run on a bus directory and configuration of their own.

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "xl/xl_api.h"

namespace {

constexpr uint32_t kThroughputId = 0x100;
constexpr uint32_t kLatencyId = 0x200;
constexpr uint32_t kEndId = 0x7FF;

struct Results {
    uint64_t received = 0;
    uint64_t lastNs = 0;  // reception of the last throughput frame
    uint64_t lost = 0;    // frames marked as overrun
    uint64_t latencyCount = 0;
    double medianUs = 0, p99Us = 0, maxUs = 0;
};

bool fail(const char* what, XLstatus s) {
    std::fprintf(stderr, "xl_bus_bench: %s: %s\n", what, xlGetErrorString(s));
    return false;
}

// Opens a port on one channel with notification level 1 and activates it.
bool openPort(unsigned channel, XLportHandle* port, XLhandle* event) {
    XLaccess mask = XLaccess{1} << channel;
    XLaccess permission = mask;
    XLstatus s = xlOpenPort(port, "bench", mask, &permission, XL_MAX_RX_QUEUE_SIZE, XL_INTERFACE_VERSION,
                            XL_BUS_TYPE_CAN);
    if (s != XL_SUCCESS) {
        return fail("xlOpenPort", s);
    }
    if ((s = xlSetNotification(*port, event, 1)) != XL_SUCCESS) {
        return fail("xlSetNotification", s);
    }
    if ((s = xlActivateChannel(*port, mask, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK)) != XL_SUCCESS) {
        return fail("xlActivateChannel", s);
    }
    return true;
}

double percentile(std::vector<uint64_t>& v, double p) {
    if (v.empty()) {
        return 0;
    }
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

// The receiving process: files results until the end marker of the latency phase.
int receiver(int fd) {
    if (xlOpenDriver() != XL_SUCCESS) {
        return 1;
    }
    XLportHandle port = XL_INVALID_PORTHANDLE;
    XLhandle event = nullptr;
    if (!openPort(1, &port, &event)) {
        return 2;
    }
    const char ready = 'r';
    if (write(fd, &ready, 1) != 1) {
        return 3;
    }
    Results r;
    std::vector<uint64_t> latencies;
    latencies.reserve(1 << 20);
    std::vector<XLevent> events(64);
    int ends = 0;
    while (ends < 2) {
        if (platform::waitOne(*event, 10000) != platform::kWaitObject0) {
            std::fprintf(stderr, "xl_bus_bench: receiver waited 10 s for frames\n");
            return 4;
        }
        event->reset();
        for (;;) {
            uint32_t n = static_cast<uint32_t>(events.size());
            if (xlReceive(port, &n, events.data()) != XL_SUCCESS) {
                break;
            }
            const uint64_t now = platform::counterTicks();
            for (uint32_t i = 0; i < n; ++i) {
                const s_xl_can_msg& m = events[i].tagData.msg;
                if (events[i].tag != XL_RECEIVE_MSG) {
                    continue;
                }
                r.lost += (m.flags & XL_CAN_MSG_FLAG_OVERRUN) != 0;
                if (m.id == kThroughputId) {
                    ++r.received;
                    r.lastNs = now;
                } else if (m.id == kLatencyId) {
                    uint64_t sent = 0;
                    std::memcpy(&sent, m.data, sizeof sent);
                    latencies.push_back(now > sent ? now - sent : 0);
                } else if (m.id == kEndId) {
                    ++ends;
                }
            }
        }
    }
    r.latencyCount = latencies.size();
    r.medianUs = percentile(latencies, 0.5);
    r.p99Us = percentile(latencies, 0.99);
    r.maxUs = percentile(latencies, 1.0);
    if (write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) {
        return 5;
    }
    xlClosePort(port);
    xlCloseDriver();
    return 0;
}

XLstatus transmit(XLportHandle port, uint32_t id, uint64_t payload) {
    XLevent e{};
    e.tag = XL_TRANSMIT_MSG;
    e.tagData.msg.id = id;
    e.tagData.msg.dlc = 8;
    std::memcpy(e.tagData.msg.data, &payload, sizeof payload);
    uint32_t count = 1;
    return xlCanTransmit(port, XLaccess{1}, &count, &e);
}

void sleepUntilNs(uint64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const uint64_t samples = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;

    char tmpl[] = "/tmp/xl_bus_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    std::ofstream(dir + "/xl.cfg") << "Bench 1, 59, 0, 0, CAN, 1, bench\nBench 2, 59, 0, 1, CAN, 1, bench\n";
    setenv("VOFLASH_XL_CONFIG", (dir + "/xl.cfg").c_str(), 1);
    setenv("VOFLASH_BUS_DIR", (dir + "/bus").c_str(), 1);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::perror("socketpair");
        return 1;
    }
    // Forked before this process starts the driver's thread.
    const pid_t child = fork();
    if (child == 0) {
        close(sv[0]);
        _exit(receiver(sv[1]));
    }
    close(sv[1]);
    char ready = 0;
    if (child < 0 || read(sv[0], &ready, 1) != 1) {
        std::fprintf(stderr, "xl_bus_bench: the receiving process did not start\n");
        return 1;
    }
    int rc = 0;
    XLportHandle port = XL_INVALID_PORTHANDLE;
    XLhandle event = nullptr;
    if (xlOpenDriver() != XL_SUCCESS || !openPort(0, &port, &event)) {
        return 1;
    }

    const uint64_t start = platform::counterTicks();
    for (uint64_t i = 0; i < frames; ++i) {
        if (XLstatus s = transmit(port, kThroughputId, i); s != XL_SUCCESS) {
            fail("xlCanTransmit", s);
            rc = 1;
            break;
        }
    }
    const uint64_t sendEnd = platform::counterTicks();
    transmit(port, kEndId, 0);

    platform::sleepFor(100);
    uint64_t next = platform::counterTicks();
    for (uint64_t i = 0; i < samples; ++i) {
        next += 200000;
        sleepUntilNs(next);
        transmit(port, kLatencyId, platform::counterTicks());
    }
    transmit(port, kEndId, 0);

    Results r;
    pollfd p{sv[0], POLLIN, 0};
    if (poll(&p, 1, 30000) != 1 || read(sv[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) {
        std::fprintf(stderr, "xl_bus_bench: no results from the receiving process\n");
        rc = 1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    xlClosePort(port);
    xlCloseDriver();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (rc != 0) {
        return rc;
    }

    const double seconds = static_cast<double>(r.lastNs - start) / 1e9;
    const double rate = static_cast<double>(r.received) / seconds;
    std::printf("throughput: %llu of %llu frames in %.3f s: %.0f frames/s (transmit calls took %.3f s)\n",
                static_cast<unsigned long long>(r.received), static_cast<unsigned long long>(frames), seconds,
                rate, static_cast<double>(sendEnd - start) / 1e9);
    std::printf(
        "latency (%llu frames, one every 200 us): median %.1f us, 99th percentile %.1f us, max %.1f us\n",
        static_cast<unsigned long long>(r.latencyCount), r.medianUs, r.p99Us, r.maxUs);
    if (r.lost > 0) {
        std::printf("frames marked lost: %llu\n", static_cast<unsigned long long>(r.lost));
    }
    const bool met = r.received == frames && rate >= 20000 && r.medianUs < 100;
    std::printf("target (all frames, >= 20000 frames/s, median < 100 us): %s\n", met ? "met" : "NOT met");
    return met ? 0 : 2;
}

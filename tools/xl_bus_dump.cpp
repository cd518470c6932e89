// xl-bus-dump: prints every frame on one or more virtual buses, one line each, as it passes.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/frame_text.h"
#include "xl/bus.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

uint64_t clockNs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: xl-bus-dump [options] <bus>...\n"
                 "Prints every frame on the virtual buses named (for example vbus1, the bus of\n"
                 "\"VN1640 Channel 1\" in the built-in driver configuration) until interrupted:\n"
                 "\n"
                 "  (     0.001234)  vbus1     6F1       [8]  43 01 02 03 04 05 06 07\n"
                 "  (     0.001512)  vbus1     18DA10F1  [3]  02 10 03\n"
                 "  (     0.002000)  vbus1     123      [12] 00 11 ... (FD, BRS)\n"
                 "\n"
                 "time stamp (seconds), bus, identifier (3 hex digits standard, 8 extended),\n"
                 "[data bytes], data in hex. Chip-state and transmit-failure test controls and LIN\n"
                 "headers show as CHIPSTATE, TXFAIL and LIN lines. A line \"*** n frames lost ***\"\n"
                 "says the dump did not keep up.\n"
                 "\n"
                 "Options:\n"
                 "  -a          absolute time stamps (seconds since 1970) instead of since the start\n"
                 "  -d          time since the frame before\n"
                 "  -s          show the process id of each frame's sender\n"
                 "  -n <count>  stop after <count> frames\n"
                 "  -t <ms>     stop when no frame came for <ms> milliseconds\n"
                 "  -l          list the buses and the processes on them, then stop\n"
                 "  -q          no \"listening\" line on stderr\n"
                 "  -h, --help  this text\n"
                 "\n"
                 "The buses live in $VOFLASH_BUS_DIR, else /tmp/voflash-bus-<uid>; run the dump with\n"
                 "the same VOFLASH_BUS_DIR as the programs it watches. Send frames with xl-bus-send.\n");
}

int listBuses() {
    const std::string base = xl::bus::baseDirectory();
    DIR* d = opendir(base.c_str());
    if (d == nullptr) {
        std::printf("no buses in %s\n", base.c_str());
        return 0;
    }
    std::printf("buses in %s:\n", base.c_str());
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        const std::string dir = base + "/" + e->d_name;
        DIR* b = opendir(dir.c_str());
        if (b == nullptr) {
            continue;
        }
        std::string nodes;
        unsigned count = 0;
        while (dirent* s = readdir(b)) {
            const std::string name = s->d_name;
            if (name[0] == '.' || name.size() < 6 || name.compare(name.size() - 5, 5, ".sock") != 0) {
                continue;
            }
            const std::string pid = name.substr(0, name.find('.'));
            struct stat st {};
            const bool alive = stat(("/proc/" + pid).c_str(), &st) == 0;
            nodes += " " + pid + (alive ? "" : " (gone)");
            ++count;
        }
        closedir(b);
        std::printf("  %-10s %u node%s%s%s\n", e->d_name, count, count == 1 ? "" : "s", count ? ", pids" : "",
                    nodes.c_str());
    }
    closedir(d);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tools::DumpOptions options;
    long maxFrames = -1;
    long idleMs = -1;
    bool quiet = false;
    std::vector<std::string> buses;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-a") {
            options.time = tools::TimeFormat::kAbsolute;
        } else if (a == "-d") {
            options.time = tools::TimeFormat::kDelta;
        } else if (a == "-s") {
            options.showSender = true;
        } else if (a == "-q") {
            quiet = true;
        } else if (a == "-l") {
            return listBuses();
        } else if ((a == "-n" || a == "-t") && i + 1 < argc) {
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 0) {
                std::fprintf(stderr, "xl-bus-dump: %s wants a number, not \"%s\"\n", a.c_str(), argv[i]);
                return 1;
            }
            (a == "-n" ? maxFrames : idleMs) = v;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "xl-bus-dump: unknown option %s (see --help)\n", a.c_str());
            return 1;
        } else {
            buses.push_back(a);
        }
    }
    if (buses.empty()) {
        usage(stderr);
        return 1;
    }

    std::vector<std::unique_ptr<xl::bus::Node>> nodes;
    for (const std::string& b : buses) {
        std::string error;
        auto node = xl::bus::Node::join(b, &error);
        if (!node) {
            std::fprintf(stderr, "xl-bus-dump: %s\n", error.c_str());
            return 2;
        }
        nodes.push_back(std::move(node));
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    options.startNs = clockNs(CLOCK_MONOTONIC);
    options.realOffsetNs =
        static_cast<int64_t>(clockNs(CLOCK_REALTIME)) - static_cast<int64_t>(options.startNs);
    if (!quiet) {
        std::fprintf(stderr, "xl-bus-dump: listening on");
        for (const std::string& b : buses) {
            std::fprintf(stderr, " %s", b.c_str());
        }
        std::fprintf(stderr, " in %s\n", xl::bus::baseDirectory().c_str());
    }

    std::vector<pollfd> fds;
    for (const auto& n : nodes) {
        fds.push_back({n->descriptor(), POLLIN, 0});
    }
    long printed = 0;
    uint64_t previousNs = 0;
    while (!g_stop && (maxFrames < 0 || printed < maxFrames)) {
        const int r = poll(fds.data(), fds.size(), idleMs < 0 ? -1 : static_cast<int>(idleMs));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;  // idle time-out
        }
        for (size_t i = 0; i < nodes.size() && (maxFrames < 0 || printed < maxFrames); ++i) {
            xl::bus::Frame f;
            while ((maxFrames < 0 || printed < maxFrames) && nodes[i]->receive(f)) {
                if (f.lost > 0) {
                    std::printf("*** %llu frames lost on %s ***\n", static_cast<unsigned long long>(f.lost),
                                buses[i].c_str());
                }
                std::printf("%s\n", tools::formatFrame(buses[i], f, options, previousNs).c_str());
                previousNs = f.timeNs;
                ++printed;
            }
        }
        if (std::fflush(stdout) != 0) {
            break;  // the reader went away
        }
    }
    return 0;
}

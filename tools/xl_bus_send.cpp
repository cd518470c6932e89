// xl-bus-send: puts frames given on the command line on a virtual bus.

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/frame_text.h"
#include "xl/bus.h"
#include "xl/xl_api.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: xl-bus-send [options] <bus> <frame>...\n"
                 "Sends the frames, in order, to every node on the virtual bus <bus> (for example\n"
                 "vbus1, the bus of \"VN1640 Channel 1\" in the built-in driver configuration).\n"
                 "\n"
                 "Frames:\n"
                 "  <id>#<data>       classic frame: 6F1#4301020304050607, 18DA10F1#02.10.03\n"
                 "                    (1 to 3 hex digits: standard id up to 7FF; 4 to 8: extended)\n"
                 "  <id>#R, <id>#R<n> remote request with data length code n (0 to 8)\n"
                 "  <id>##<f><data>   CAN FD frame, <f> a hex digit of flags (1: bit-rate switch),\n"
                 "                    0 to 8, 12, 16, 20, 24, 32, 48 or 64 data bytes: 123##1001122\n"
                 "\n"
                 "Options:\n"
                 "  -g <ms>           wait <ms> milliseconds between frames\n"
                 "  -r <count>        send the whole list <count> times\n"
                 "  --bus-off         also report bus off to every port on the bus (test control)\n"
                 "  --tx-full <n>     make the next <n> transmits of every port on the bus report a\n"
                 "                    full transmit queue (test control; 0 ends it)\n"
                 "  -h, --help        this text\n"
                 "\n"
                 "The buses live in $VOFLASH_BUS_DIR, else /tmp/voflash-bus-<uid>. A frame that no\n"
                 "node received is reported on stderr. Watch the bus with xl-bus-dump.\n");
}

}  // namespace

int main(int argc, char** argv) {
    long gapMs = 0;
    long repeat = 1;
    bool busOff = false;
    long txFull = -1;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--bus-off") {
            busOff = true;
        } else if ((a == "-g" || a == "-r" || a == "--tx-full") && i + 1 < argc) {
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 0) {
                std::fprintf(stderr, "xl-bus-send: %s wants a number, not \"%s\"\n", a.c_str(), argv[i]);
                return 1;
            }
            (a == "-g" ? gapMs : a == "-r" ? repeat : txFull) = v;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "xl-bus-send: unknown option %s (see --help)\n", a.c_str());
            return 1;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty() || (args.size() == 1 && !busOff && txFull < 0)) {
        usage(stderr);
        return 1;
    }
    const std::string bus = args[0];
    std::vector<xl::bus::Frame> frames;
    for (size_t i = 1; i < args.size(); ++i) {
        xl::bus::Frame f;
        std::string error;
        if (!tools::parseFrame(args[i], &f, &error)) {
            std::fprintf(stderr, "xl-bus-send: %s\n", error.c_str());
            return 1;
        }
        frames.push_back(f);
    }
    std::string error;
    auto node = xl::bus::Node::join(bus, &error);
    if (!node) {
        std::fprintf(stderr, "xl-bus-send: %s\n", error.c_str());
        return 2;
    }
    const auto control = [&](xl::bus::Frame f, const char* what) {
        if (node->send(f) == 0) {
            std::fprintf(stderr, "xl-bus-send: nobody on %s received %s\n", bus.c_str(), what);
        }
    };
    if (txFull >= 0) {
        xl::bus::Frame f;
        f.kind = xl::bus::Kind::kTxFail;
        f.count = static_cast<uint32_t>(txFull);
        control(f, "the transmit-failure control");
    }
    if (busOff) {
        xl::bus::Frame f;
        f.kind = xl::bus::Kind::kChipState;
        f.busStatus = XL_CHIPSTAT_BUSOFF;
        control(f, "the bus-off report");
    }
    bool first = true;
    for (long r = 0; r < repeat; ++r) {
        for (size_t i = 0; i < frames.size(); ++i) {
            if (!first && gapMs > 0) {
                timespec ts{gapMs / 1000, (gapMs % 1000) * 1000000L};
                while (nanosleep(&ts, &ts) != 0) {
                }
            }
            first = false;
            xl::bus::Frame f = frames[i];
            if (node->send(f) == 0) {
                std::fprintf(stderr, "xl-bus-send: nobody on %s received %s\n", bus.c_str(),
                             args[i + 1].c_str());
            }
        }
    }
    return 0;
}

#pragma once
// Frames as text, for the bus tools: the command-line form that xl-bus-send reads and the line that
// xl-bus-dump prints.
//
// Command-line form (as the Linux can-utils write frames):
//   <id>#<data>        classic frame; <id> of 1 to 3 hex digits is standard (at most 7FF), of 4 to 8
//                      hex digits extended (at most 1FFFFFFF); <data> 0 to 8 bytes in hex, '.'
//                      allowed between bytes: 6F1#4301020304050607, 18DA10F1#02.10.03
//   <id>#R, <id>#R<n>  remote request, data length code n (0 to 8, default 0)
//   <id>##<f><data>    CAN FD frame; <f> one hex digit of flags (1 = bit-rate switch); <data> 0 to 8,
//                      12, 16, 20, 24, 32, 48 or 64 bytes

#include <cstdint>
#include <string>

#include "xl/bus.h"

namespace tools {

// Reads one frame; false with *error set when the text is not a frame.
bool parseFrame(const std::string& text, xl::bus::Frame* frame, std::string* error);

enum class TimeFormat { kRelative, kAbsolute, kDelta };

struct DumpOptions {
    TimeFormat time = TimeFormat::kRelative;
    bool showSender = false;
    uint64_t startNs = 0;      // CLOCK_MONOTONIC at the start of the dump (kRelative)
    int64_t realOffsetNs = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC (kAbsolute)
};

// One line (without line end) for a frame seen on bus `bus`; previousNs is the time of the frame
// before (kDelta), 0 for none.
std::string formatFrame(const std::string& bus, const xl::bus::Frame& frame, const DumpOptions& options,
                        uint64_t previousNs);

}  // namespace tools

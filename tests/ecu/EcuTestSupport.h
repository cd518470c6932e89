#pragma once
// What the ECU tests share: the five console streams captured into strings, the progress values a
// run drew, and a rig of scripted channel, scripted ECU and ECU object.

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ecu/VOEcuGenBase.h"
#include "tests/ecu/ScriptedEcu.h"
#include "tests/support/ScriptedChannel.h"

namespace ecutest {

// Redirects the five console streams into strings for its lifetime. Each stream starts with default
// formatting and gets its own formatting back at the end.
class StreamCapture {
  public:
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string error() const { return buffers[0].str(); }
    std::string info() const { return buffers[1].str(); }
    std::string success() const { return buffers[2].str(); }
    std::string normal() const { return buffers[3].str(); }
    std::string warning() const { return buffers[4].str(); }

  private:
    static constexpr int kStreams = 5;
    std::stringbuf buffers[kStreams];
    std::streambuf* saved[kStreams];
    std::ios_base::fmtflags savedFlags[kStreams];
};

// The percentages of the progress bars drawn in normalOut text, in order.
std::vector<uint32_t> progressValues(const std::string& normalText);

// n bytes counting up from first.
Bytes counting(size_t n, uint8_t first = 0);

constexpr uint32_t kTxId = 0x18DA10F1;
constexpr uint32_t kRxId = 0x18DAF110;

// An ECU object attached to a scripted ECU through useProtocol, with its identifiers set. The
// process-wide connect state starts afresh with every rig.
template <typename Ecu>
struct Rig {
    Rig() : ecu(&channel, 0x43) {
        ecuConnectState() = EcuConnectState{};
        if constexpr (requires { ecu.useProtocol(&bus); }) {
            attached = ecu.useProtocol(&bus);
        } else {
            attached = ecu.addProtocol(&bus) && ecu.selectProtocol(bus.name()) && ecu.ensureInit();
        }
        ecu.setCanIds(kTxId, kRxId);
    }

    testsupport::ScriptedChannel channel;
    ScriptedEcu bus;
    Ecu ecu;
    bool attached = false;
};

}  // namespace ecutest

#pragma once
// The virtual bus: the medium that the virtual XL driver's ports, the bus tools and simulators share,
// within one process and across processes.
//
// A bus is a directory <base>/<bus name>; <base> is $VOFLASH_BUS_DIR, or /tmp/voflash-bus-<uid>.
// Every presence on a bus (a node: one channel of an open port, or a tool) owns one Unix datagram
// socket there, "<pid>.<random>.sock" (bound under a hidden name and renamed, so a visible socket
// is always ready). A node sends a frame to every other node's socket, never to its own, under the
// bus lock (an flock on <bus>/.lock), so every node sees the bus's frames in one order; the time
// stamp (CLOCK_MONOTONIC) is taken under that lock, so time stamps follow that order.
//
// A node that goes away takes its socket with it. A socket left behind by a killed process refuses
// connections: senders skip it and remove its file. A node's socket holds few datagrams; a sender
// waits for a node that reads slowly (so bursts are not lost), but a node that reads nothing for
// kStuckNodeMs is passed over until it reads again; the frames it misses are counted for it
// (Frame::lost) from the per-sender sequence numbers. The wait is long enough that a reader held
// up by a loaded machine (sanitizers, parallel tests) loses nothing; only a node that stopped
// reading costs each sender that wait once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace xl::bus {

enum class Kind : uint8_t {
    kCan = 1,        // CAN or CAN FD data frame
    kChipState = 2,  // test control: the receiving nodes report this chip state
    kTxFail = 3,     // test control: the receiving nodes' next `count` transmits report a full queue
    kLinHeader = 4,  // LIN header: the master asks for identifier `id`
    kLinFrame = 5,   // LIN frame: response data and checksum of identifier `id`
};

// Frame::flags of CAN frames.
inline constexpr uint8_t kFlagFd = 0x01;              // CAN FD frame: dlc 9..15 means 12..64 bytes
inline constexpr uint8_t kFlagBrs = 0x02;             // CAN FD data phase at the data bit rate
inline constexpr uint8_t kFlagRemote = 0x04;          // remote request, no data
inline constexpr uint32_t kExtendedId = 0x80000000u;  // in Frame::id of CAN frames

inline constexpr int kStuckNodeMs = 1000;
inline constexpr unsigned kMaxNameLength = 31;  // characters of a bus name

struct Frame {
    Kind kind = Kind::kCan;
    uint8_t flags = 0;   // kFlag...
    uint8_t dlc = 0;     // CAN: data length code 0..15; LIN: data length
    uint8_t length = 0;  // bytes of data that count, at most 64
    uint32_t id = 0;     // CAN: identifier, bit 31 = extended; LIN: 0..63
    uint8_t data[64] = {};
    uint8_t checksum = 0;                                           // LIN
    uint8_t busStatus = 0, txErrorCounter = 0, rxErrorCounter = 0;  // kChipState
    uint32_t count = 0;                                             // kTxFail
    uint32_t bitrate = 0;  // the sender's bit rate (CAN FD: of the data phase); 0 unknown
    // Set by send:
    uint64_t timeNs = 0;  // CLOCK_MONOTONIC when the frame was on the bus
    uint64_t sender = 0;  // id of the sending node (0: sent by no node)
    uint32_t senderPid = 0;
    uint64_t seq = 0;  // per-sender sequence number
    // Set by receive:
    uint64_t lost = 0;  // frames of this sender that this node missed just before this one
};

// The directory that holds the buses now (reads $VOFLASH_BUS_DIR each time).
std::string baseDirectory();
// Bus names: 1 to 31 of A-Z a-z 0-9 _ - . , not starting with '.'.
bool isValidName(const std::string& name);

class Node {
  public:
    // Joins the bus; null with *error set when it cannot (bad name, directory, socket).
    static std::unique_ptr<Node> join(const std::string& busName, std::string* error);
    ~Node();  // leaves the bus: socket file removed
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& busName() const;
    uint64_t id() const;
    // Readable (poll, epoll) while frames wait.
    int descriptor() const;
    // Sends to every other node of the bus; fills timeNs, sender, senderPid and seq. Returns the
    // number of nodes that got the frame.
    size_t send(Frame& frame);
    // Takes the next frame that waits, without blocking; false when none waits. Malformed
    // datagrams are skipped.
    bool receive(Frame& frame);
    // Waits up to timeoutMs (negative: no limit) for a frame; true when one waits.
    bool wait(int timeoutMs);
    // Removes the socket's file so that no node sends here any more (a process that ends with
    // nodes still open calls it on its way out); the node can still send and read what waits.
    void unpublish();

  private:
    struct Impl;
    explicit Node(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Sends a frame to every node of the bus from no node of its own (test controls, one-shot tools).
// Returns the number of nodes reached, or -1 with *error set when the bus cannot be reached.
long sendFromOutside(const std::string& busName, Frame& frame, std::string* error);

}  // namespace xl::bus

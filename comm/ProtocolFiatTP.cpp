#include "comm/ProtocolFiatTP.h"

#include <algorithm>
#include <iterator>

#include "comm/ComParams.h"
#include "comm/Communication.h"
#include "comm/ProtocolFiatFrames.h"
#include "comm/ScopedValue.h"
#include "comm/UtilTimeout.h"

namespace {

constexpr uint32_t kFlowControlReadBytes = 4;
constexpr uint8_t kReceiverBlockSize = 0xFF;
constexpr uint8_t kReceiverStMin = 0;

uint8_t typeNibble(const std::vector<uint8_t>& frame) {
    return frame[1] & 0xF0;
}

// The first limit bytes of what a read delivered; a channel may hand over more than it was asked for.
void keepFirst(std::vector<uint8_t>& bytes, size_t limit) {
    if (bytes.size() > limit) {
        bytes.resize(limit);
    }
}

// Number of consecutive frames that carry the bytes of a first frame's message after its first five.
size_t consecutiveFrames(size_t length) {
    const size_t rest = length - ProtocolFiatFF::kDataBytes;
    return rest / ProtocolFiatCF::kDataBytes + (rest % ProtocolFiatCF::kDataBytes > 0 ? 1 : 0);
}

}  // namespace

ProtocolFiatTP::ProtocolFiatTP(uint8_t address) : ProtocolMultiFrame(address, 0) {}

ProtocolFiatTP::~ProtocolFiatTP() {
    stopThreads();
}

const std::string& ProtocolFiatTP::name() const {
    static const std::string text = "PROTOCOL_StandardizedCanFiatTP";
    return text;
}

bool ProtocolFiatTP::segment(FrameQueue& queue, const std::vector<uint8_t>& payload) {
    queue.clear();
    const size_t n = payload.size();
    if (n == 0 || n > kMaxPayload) {
        return false;
    }
    const uint8_t a = addressByte();
    if (n <= ProtocolFiatSF::kMaxLength) {
        queue.push_back(ProtocolFiatSF(a, static_cast<uint8_t>(n), payload).getFrame());
        return true;
    }
    auto at = payload.begin() + ProtocolFiatFF::kDataBytes;
    queue.push_back(ProtocolFiatFF(a, static_cast<uint16_t>(n), {payload.begin(), at}).getFrame());
    uint8_t sequence = standardized ? 1 : 0;
    while (at != payload.end()) {
        const auto take =
            std::min<std::ptrdiff_t>(ProtocolFiatCF::kDataBytes, std::distance(at, payload.end()));
        queue.push_back(ProtocolFiatCF(a, sequence++, {at, at + take}).getFrame());
        at += take;
    }
    return true;
}

bool ProtocolFiatTP::send(Communication* channel, uint32_t txId, uint32_t rxId,
                          const std::vector<uint8_t>& payload) {
    return sendSegmented(channel, txId, rxId, payload, [&] { return sendBlock(channel, txId, rxId); });
}

bool ProtocolFiatTP::sendSegmented(Communication* channel, uint32_t txId, uint32_t rxId,
                                   const std::vector<uint8_t>& payload,
                                   const std::function<bool()>& sendNextBlock) {
    segment(frames, payload);
    if (frames.empty()) {
        return false;
    }
    cursor = frames.begin();
    bool ok = writeFrame(channel, txId, rxId, *cursor);
    ++cursor;
    while (ok && cursor != frames.end()) {
        ok = sendNextBlock();
    }
    frames.clear();
    cursor = frames.end();
    return ok;
}

bool ProtocolFiatTP::sendBlock(Communication* channel, uint32_t txId, uint32_t rxId) {
    const UtilTimeout window(receiveTimeoutMs(channel));
    std::vector<uint8_t> received;
    bool isFlowControl = false;
    uint8_t blockSize = 0;
    uint8_t stMin = 0;
    for (;;) {
        const bool read =
            readWithin(channel, txId, rxId, received, kFlowControlReadBytes, window.remainingMs());
        isFlowControl = read && parseFlowControl(received, blockSize, stMin);
        if (isFlowControl || !read || window.expired()) {
            break;
        }
        // A frame of another message, such as a reply that came after its time-out or a doubled one:
        // dropped, and the wait goes on.
        dropRestOfFrame(channel, txId, rxId, received);
    }
    // The rest of the flow control frame and anything else queued is stale once it has been read.
    flushReceive(channel, rxId);
    if (!isFlowControl) {
        return false;
    }
    return writeBlock(channel, txId, rxId, blockLength(blockSize), stMin);
}

bool ProtocolFiatTP::parseFlowControl(const std::vector<uint8_t>& received, uint8_t& blockSize,
                                      uint8_t& stMin) {
    if (received.size() < kFlowControlReadBytes) {
        return false;
    }
    ProtocolFiatFC fc({received.begin(), received.begin() + kFlowControlReadBytes});
    if (!fc.isValid()) {
        return false;
    }
    blockSize = fc.getBlockSize();
    stMin = fc.getStMin();
    return true;
}

size_t ProtocolFiatTP::blockLength(uint8_t blockSize) const {
    const size_t left = static_cast<size_t>(std::distance(FrameQueue::const_iterator(cursor), frames.cend()));
    const uint8_t noLimit = standardized ? 0x00 : 0xFF;
    return blockSize != noLimit && blockSize <= left ? blockSize : left;
}

bool ProtocolFiatTP::writeBlock(Communication* channel, uint32_t txId, uint32_t rxId, size_t count,
                                uint32_t waitMs) {
    bool ok = true;
    for (size_t i = 0; i < count && cursor != frames.end(); ++i, ++cursor) {
        sleepMs(waitMs);
        ok = writeFrame(channel, txId, rxId, *cursor) && ok;
    }
    return ok;
}

bool ProtocolFiatTP::receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                             uint32_t) {
    dropNewArrival();
    const UtilTimeout window(receiveTimeoutMs(channel));
    for (;;) {
        const Arrival arrival = receiveMessage(channel, txId, rxId, out, window.remainingMs());
        if (arrival == Arrival::message && channel->isAwaitedReply(out)) {
            return true;
        }
        if (arrival == Arrival::nothing || (arrival == Arrival::broken && !holdsNewArrival())) {
            return false;
        }
        // A stray frame, a message that answers another request (a reply that came after its
        // time-out, a doubled one), or a message broken off by a new one, which is judged next: dropped,
        // and the wait goes on while the time-out lasts.
        out.clear();
        if (window.expired()) {
            dropNewArrival();
            return false;
        }
    }
}

ProtocolFiatTP::Arrival ProtocolFiatTP::receiveMessage(Communication* channel, uint32_t txId, uint32_t rxId,
                                                       std::vector<uint8_t>& out, uint32_t firstFrameWaitMs) {
    std::vector<uint8_t> received;
    if (newArrival) {
        received = std::move(*newArrival);
        newArrival.reset();
    } else if (!readWithin(channel, txId, rxId, received, kFrameSize, firstFrameWaitMs)) {
        return Arrival::nothing;
    }
    keepFirst(received, kFrameSize);
    out.clear();
    if (received.size() < 2) {
        return Arrival::stray;
    }

    if (typeNibble(received) == 0x00) {
        ProtocolFiatSF sf(received);
        const uint8_t length = sf.getLength();
        // A length of 7 is refused before decoding; the bytes of the frame must all be there.
        if (length == 0 || length > ProtocolFiatSF::kMaxLength || received.size() < 2u + length) {
            return Arrival::stray;
        }
        return sf.decode(out, received) ? Arrival::message : Arrival::stray;
    }

    if (typeNibble(received) != 0x10) {
        return Arrival::stray;
    }
    ProtocolFiatFF ff(received);
    const size_t length = ff.getLength();
    // A first frame carries five data bytes and announces at least that many; anything else is refused
    // before the flow control, so the sender never starts a block that nobody reads.
    if (received.size() < kFrameSize || length < ProtocolFiatFF::kDataBytes) {
        return Arrival::stray;
    }
    // Its first bytes tell whether the message can be the awaited one: one that answers another request
    // (a late or doubled reply) gets no flow control, so its sender sends nothing more of it.
    const std::vector<uint8_t> firstBytes(received.begin() + 3, received.end());
    if (!channel->isAwaitedReply(firstBytes)) {
        return Arrival::stray;
    }
    if (!writeFrame(channel, txId, rxId,
                    ProtocolFiatFC(addressByte(), kReceiverBlockSize, kReceiverStMin).getFrame())) {
        return Arrival::broken;
    }
    out.assign(length, 0x00);
    std::copy(firstBytes.begin(), firstBytes.end(), out.begin());
    return receiveConsecutiveFrames(channel, txId, rxId, out) ? Arrival::message : Arrival::broken;
}

bool ProtocolFiatTP::receiveConsecutiveFrames(Communication* channel, uint32_t txId, uint32_t rxId,
                                              std::vector<uint8_t>& out) {
    const size_t length = out.size();
    bool ok = true;
    bool previousReadFailed = false;
    size_t filled = ProtocolFiatFF::kDataBytes;
    // The sender numbers its consecutive frames from 1 in standardized mode, else from 0, modulo 16.
    uint8_t sequence = standardized ? 1 : 0;
    std::vector<uint8_t> received;
    for (size_t i = consecutiveFrames(length); i > 0; --i) {
        received.clear();
        if (!fetchNextFrame(channel, txId, rxId, received)) {
            // Two reads in a row that brought nothing: the rest of the message is not coming, and
            // waiting a receive time-out for each frame still due could take minutes.
            if (previousReadFailed) {
                break;
            }
            previousReadFailed = true;
            ok = false;
            continue;
        }
        previousReadFailed = false;
        keepFirst(received, kFrameSize);
        if (received.size() >= 2 && (typeNibble(received) == 0x00 || typeNibble(received) == 0x10)) {
            // A new message begins (a reply that came late, another node's): this one is lost, and
            // the new one is judged on its own.
            newArrival = std::move(received);
            return false;
        }
        if (!ok) {
            continue;  // the message is lost; frames that still come are read and dropped
        }
        const size_t take = std::min(ProtocolFiatCF::kDataBytes, length - filled);
        // Only the next consecutive frame, whole, carries the message on; any other frame (another
        // message's, a repeated or skipped one) would put foreign bytes into it.
        if (received.size() < 2 + take || received[1] != (0x20 | sequence)) {
            return false;
        }
        std::copy_n(received.begin() + 2, take, out.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += take;
        sequence = (sequence + 1) & 0x0F;
    }
    return ok && !out.empty();
}

bool ProtocolFiatTP::fetchNextFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                                    std::vector<uint8_t>& out) {
    return readFrame(channel, txId, rxId, out, kFrameSize);
}

void ProtocolFiatTP::dropRestOfFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                                     const std::vector<uint8_t>& received) {
    // The frame arrived whole, so its other bytes are queued already: nothing is waited for.
    if (received.size() < kFrameSize) {
        std::vector<uint8_t> rest;
        (void)readWithin(channel, txId, rxId, rest, kFrameSize - static_cast<uint32_t>(received.size()), 0);
    }
}

uint32_t ProtocolFiatTP::receiveTimeoutMs(const Communication* channel) {
    const ComParams* params = channel != nullptr ? channel->getComParams() : nullptr;
    return params != nullptr ? params->rxTimeoutMs : 0;
}

bool ProtocolFiatTP::readWithin(Communication* channel, uint32_t txId, uint32_t rxId,
                                std::vector<uint8_t>& out, uint32_t count, uint32_t waitMs) {
    ComParams* params = channel != nullptr ? channel->getComParams() : nullptr;
    if (params == nullptr || waitMs >= params->rxTimeoutMs) {
        return readFrame(channel, txId, rxId, out, count);
    }
    // The channel's read waits the receive time-out of its parameters, looked at on every read: cut for
    // this one read, and put back whatever the read does.
    const ScopedValue<uint32_t> cut(params->rxTimeoutMs, waitMs);
    return readFrame(channel, txId, rxId, out, count);
}

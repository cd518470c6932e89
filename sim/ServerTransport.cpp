#include "sim/ServerTransport.h"

#include <algorithm>

#include "sim/Bootloader.h"

namespace sim {

namespace {

enum class Type { kSingle, kFirst, kConsecutive, kFlowControl, kOther };

Type typeOf(const Bytes& f) {
    switch (f[1] >> 4) {
        case 0:
            return Type::kSingle;
        case 1:
            return Type::kFirst;
        case 2:
            return Type::kConsecutive;
        case 3:
            return Type::kFlowControl;
        default:
            return Type::kOther;
    }
}

}  // namespace

uint32_t separationMs(uint8_t stMin) {
    if (stMin <= 0x7F) {
        return stMin;
    }
    if (stMin >= 0xF1 && stMin <= 0xF9) {
        return 1;
    }
    return 127;
}

ServerTransport::ServerTransport(FrameLink& link, uint8_t address, uint8_t blockSize, uint8_t stMin)
    : link_(link), address_(address), blockSize_(blockSize), stMin_(stMin) {}

std::optional<Bytes> ServerTransport::nextFrame(uint32_t timeoutMs) {
    for (;;) {
        std::optional<Bytes> f = link_.receiveFrame(timeoutMs);
        if (!f) {
            return std::nullopt;
        }
        if (f->size() >= 2 && (*f)[0] == address_) {
            return f;
        }
        ++dropped_;
    }
}

std::optional<Bytes> ServerTransport::frameOfMessage() {
    std::optional<Bytes> f = nextFrame(kFrameTimeoutMs);
    if (f && (typeOf(*f) == Type::kSingle || typeOf(*f) == Type::kFirst)) {
        // The tool gave up on this message and sends the next one.
        held_ = std::move(f);
        return std::nullopt;
    }
    return f;
}

std::optional<Bytes> ServerTransport::receiveRequest(uint32_t timeoutMs) {
    while (!link_.stopping()) {
        std::optional<Bytes> f;
        if (held_) {
            f = std::move(held_);
            held_.reset();
        } else {
            f = nextFrame(timeoutMs);
            if (!f) {
                return std::nullopt;
            }
        }
        const Bytes& frame = *f;
        if (typeOf(frame) == Type::kSingle) {
            const size_t n = frame[1] & 0x0F;
            if (n >= 1 && n <= 6 && n + 2 <= frame.size()) {
                return Bytes(frame.begin() + 2, frame.begin() + 2 + static_cast<std::ptrdiff_t>(n));
            }
        } else if (typeOf(frame) == Type::kFirst && frame.size() == 8) {
            std::optional<Bytes> request = assemble(frame);
            if (request) {
                return request;
            }
            continue;
        }
        ++dropped_;
    }
    return std::nullopt;
}

std::optional<Bytes> ServerTransport::assemble(const Bytes& first) {
    const size_t length = size_t{first[1] & 0x0Fu} << 8 | first[2];
    if (length < 7) {
        // A message that fits a single frame does not come as a first frame.
        ++dropped_;
        return std::nullopt;
    }
    Bytes message(first.begin() + 3, first.end());
    if (!sendFlowControl()) {
        return std::nullopt;
    }
    uint8_t expected = 1;
    unsigned inBlock = 0;
    while (message.size() < length) {
        std::optional<Bytes> f = frameOfMessage();
        if (!f) {
            return std::nullopt;
        }
        if (typeOf(*f) != Type::kConsecutive) {
            ++dropped_;
            continue;
        }
        if (((*f)[1] & 0x0F) != expected) {
            // Out of sequence: the message is lost.
            ++dropped_;
            return std::nullopt;
        }
        expected = static_cast<uint8_t>((expected + 1) & 0x0F);
        const size_t take = std::min<size_t>(length - message.size(), f->size() - 2);
        message.insert(message.end(), f->begin() + 2, f->begin() + 2 + static_cast<std::ptrdiff_t>(take));
        if (blockSize_ != 0 && ++inBlock == blockSize_ && message.size() < length) {
            inBlock = 0;
            if (!sendFlowControl()) {
                return std::nullopt;
            }
        }
    }
    return message;
}

bool ServerTransport::sendFlowControl() {
    return sendFrame({address_, 0x30, blockSize_, stMin_}, false);
}

bool ServerTransport::sendFrame(Bytes frame, bool shortFrame) {
    if (!shortFrame) {
        frame.resize(8, 0x00);
    }
    return link_.sendFrame(frame);
}

std::optional<std::pair<uint8_t, uint8_t>> ServerTransport::awaitFlowControl() {
    for (;;) {
        std::optional<Bytes> f = frameOfMessage();
        if (!f) {
            return std::nullopt;
        }
        if (typeOf(*f) != Type::kFlowControl || f->size() < 4) {
            ++dropped_;
            continue;
        }
        switch ((*f)[1]) {
            case 0x30:
                return std::make_pair((*f)[2], (*f)[3]);
            case 0x31:  // wait: another flow control follows
                continue;
            default:  // overflow or unknown: the reply is abandoned
                return std::nullopt;
        }
    }
}

bool ServerTransport::sendReply(const Bytes& payload, const SendOptions& options) {
    const size_t n = payload.size();
    // A new request came while an earlier reply waited for its flow control: the tool has moved on,
    // and the replies still due to the old request go unsent.
    if (n == 0 || n > kMaxMessage || held_) {
        return false;
    }
    if (n <= 6) {
        Bytes frame{address_, static_cast<uint8_t>(n)};
        frame.insert(frame.end(), payload.begin(), payload.end());
        return sendFrame(frame, options.shortFrames);
    }
    Bytes first{address_, static_cast<uint8_t>(0x10 | (n >> 8)), static_cast<uint8_t>(n & 0xFF)};
    first.insert(first.end(), payload.begin(), payload.begin() + 5);
    if (!sendFrame(first, options.shortFrames)) {
        return false;
    }
    size_t offset = 5;
    uint32_t sequence = 1;
    while (offset < n) {
        const std::optional<std::pair<uint8_t, uint8_t>> fc = awaitFlowControl();
        if (!fc) {
            return false;
        }
        const unsigned block = (fc->first == 0 || fc->first == 0xFF) ? 0 : fc->first;
        const uint32_t gapMs = separationMs(fc->second);
        for (unsigned sent = 0; offset < n && (block == 0 || sent < block); ++sent, ++sequence) {
            if (gapMs > 0 && !link_.pause(gapMs)) {
                return false;
            }
            const size_t take = std::min<size_t>(6, n - offset);
            Bytes frame{address_, static_cast<uint8_t>(0x20 | (sequence & 0x0F))};
            frame.insert(frame.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset),
                         payload.begin() + static_cast<std::ptrdiff_t>(offset + take));
            offset += take;
            if (sequence != options.dropConsecutive && !sendFrame(frame, options.shortFrames)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace sim

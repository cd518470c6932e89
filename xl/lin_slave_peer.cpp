#include "xl/lin_slave_peer.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "platform/event.h"
#include "xl/xl_test_control.h"

namespace xl {

namespace {

constexpr uint8_t kFrameLength = 8;

std::string failure(const char* step, XLstatus status) {
    return std::string(step) + ": " + xlGetErrorString(status);
}

// A frame of up to 8 bytes filled up with 0x00, longer ones cut; an empty one stays empty.
std::vector<uint8_t> padded(const std::vector<uint8_t>& frame) {
    if (frame.empty()) {
        return frame;
    }
    std::vector<uint8_t> data(frame.begin(), frame.begin() + std::min<size_t>(frame.size(), kFrameLength));
    data.resize(kFrameLength, 0x00);
    return data;
}

}  // namespace

std::unique_ptr<LinSlavePeer> LinSlavePeer::open(const Options& options, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (options.requestId > XL_LIN_MAX_ID || options.responseId > XL_LIN_MAX_ID) {
        why = "LIN identifiers are 0 to 63";
        return nullptr;
    }
    if (XLstatus s = xlOpenDriver(); s != XL_SUCCESS) {
        why = failure("xlOpenDriver", s);
        return nullptr;
    }
    const XLaccess mask = xlGetChannelMask(options.hwType, options.hwIndex, options.hwChannel);
    XLportHandle port = XL_INVALID_PORTHANDLE;
    XLaccess permission = mask;
    XLhandle notify = nullptr;
    XLlinStatPar params{XL_LIN_SLAVE, options.baud, options.linVersion, 0};
    uint8_t dlc[XL_LIN_MAX_ID + 1];
    std::fill(std::begin(dlc), std::end(dlc), kFrameLength);
    XLstatus s = XL_SUCCESS;
    const char* step = "";
    if (mask == 0) {
        s = XL_ERR_HW_NOT_PRESENT, step = "xlGetChannelMask";
    } else if (s = xlOpenPort(&port, "LinSlavePeer", mask, &permission, 256, XL_INTERFACE_VERSION,
                              XL_BUS_TYPE_LIN);
               s != XL_SUCCESS) {
        step = "xlOpenPort";
    } else if (s = xlLinSetChannelParams(port, mask, params); s != XL_SUCCESS) {
        step = "xlLinSetChannelParams";
    } else if (s = xlLinSetDLC(port, mask, dlc); s != XL_SUCCESS) {
        step = "xlLinSetDLC";
    } else if (s = xlSetNotification(port, &notify, 1); s != XL_SUCCESS) {
        step = "xlSetNotification";
    } else if (s = xlActivateChannel(port, mask, XL_BUS_TYPE_LIN, XL_ACTIVATE_RESET_CLOCK); s != XL_SUCCESS) {
        step = "xlActivateChannel";
    }
    if (s != XL_SUCCESS) {
        why = failure(step, s);
        if (port != XL_INVALID_PORTHANDLE) {
            xlClosePort(port);
        }
        xlCloseDriver();
        return nullptr;
    }
    std::unique_ptr<LinSlavePeer> peer(new LinSlavePeer(options, port, mask, notify));
    if (!peer->idle_.empty()) {
        xl::test::linSlaveAfterResponse(port, mask, options.responseId, peer->idle_.data(), kFrameLength);
    }
    {
        std::lock_guard<std::mutex> guard(peer->lock_);
        peer->arm();  // no response yet: the entry is switched off, or holds the idle response
    }
    return peer;
}

LinSlavePeer::LinSlavePeer(const Options& options, XLportHandle port, XLaccess mask, XLhandle notify)
    : options_(options),
      idle_(padded(options.idleResponse)),
      port_(port),
      mask_(mask),
      notify_(notify),
      stop_(std::make_unique<platform::Event>(true, false)) {
    thread_ = std::thread([this] { run(); });
}

LinSlavePeer::~LinSlavePeer() {
    stop_->set();
    thread_.join();
    xlDeactivateChannel(port_, mask_);
    xlClosePort(port_);
    xlCloseDriver();
}

void LinSlavePeer::queueResponse(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> guard(lock_);
    responses_.push_back(padded(frame));
    if (responses_.size() == 1) {
        arm();
    }
}

void LinSlavePeer::clearResponses() {
    std::lock_guard<std::mutex> guard(lock_);
    responses_.clear();
    arm();
}

size_t LinSlavePeer::pendingResponses() const {
    std::lock_guard<std::mutex> guard(lock_);
    return responses_.size();
}

size_t LinSlavePeer::responsesSent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

bool LinSlavePeer::nextRequest(std::vector<uint8_t>& frame, int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto ready = [this] { return !requests_.empty(); };
    if (timeoutMs < 0) {
        requestArrived_.wait(guard, ready);
    } else if (!requestArrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    frame = std::move(requests_.front());
    requests_.pop_front();
    return true;
}

void LinSlavePeer::arm() {
    if (responses_.empty() && !idle_.empty()) {
        xlLinSetSlave(port_, mask_, options_.responseId, idle_.data(), kFrameLength, options_.checksumModel);
    } else if (responses_.empty()) {
        xlLinSwitchSlave(port_, mask_, options_.responseId, XL_LIN_SLAVE_OFF);
    } else {
        xlLinSetSlave(port_, mask_, options_.responseId, responses_.front().data(), kFrameLength,
                      options_.checksumModel);
    }
}

void LinSlavePeer::run() {
    for (;;) {
        const uint32_t r = platform::waitAny({stop_.get(), notify_}, platform::kInfinite);
        if (r != platform::kWaitObject0 + 1) {
            return;
        }
        notify_->reset();
        for (;;) {
            XLevent ev{};
            uint32_t count = 1;
            if (xlReceive(port_, &count, &ev) != XL_SUCCESS || count != 1) {
                break;
            }
            if (ev.tag == XL_LIN_MSG) {
                handle(ev.tagData.linMsg);
            }
        }
    }
}

void LinSlavePeer::handle(const s_xl_lin_msg& msg) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::vector<uint8_t> data(msg.data, msg.data + std::min<uint8_t>(msg.dlc, kFrameLength));
    if ((msg.flags & XL_LIN_MSGFLAG_TX) != 0) {
        // Our response went out: the next one takes its place. A header that came before the entry
        // was renewed repeats the frame; that copy no longer matches the front and is passed over.
        if (msg.id == options_.responseId && !responses_.empty() && responses_.front() == data) {
            responses_.pop_front();
            ++sent_;
            arm();
        }
        return;
    }
    if (msg.id == options_.requestId) {
        requests_.push_back(data);
        requestArrived_.notify_all();
    }
}

}  // namespace xl

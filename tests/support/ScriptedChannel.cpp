#include "tests/support/ScriptedChannel.h"

#include <algorithm>
#include <thread>

namespace testsupport {

const std::string& ScriptedOpenError::description() const {
    static const std::string text = "Scripted channel refused";
    return text;
}

ScriptedChannel::ScriptedChannel(uint32_t rxTimeoutMs, uint32_t paramId, uint32_t id)
    : Communication(new ComParams(paramId), id) {
    getComParams()->rxTimeoutMs = rxTimeoutMs;
}

const std::string& ScriptedChannel::name() const {
    static const std::string text = "COM_Scripted";
    return text;
}

ScriptedChannel& ScriptedChannel::frame(Bytes bytes) {
    script.push_back({Step::Kind::Frame, std::move(bytes)});
    return *this;
}

ScriptedChannel& ScriptedChannel::late(Bytes bytes, uint32_t delayMs) {
    script.push_back({Step::Kind::Late, std::move(bytes), delayMs});
    return *this;
}

ScriptedChannel& ScriptedChannel::missing() {
    script.push_back({Step::Kind::Missing, {}});
    return *this;
}

ScriptedChannel& ScriptedChannel::reply(Bytes bytes) {
    script.push_back({Step::Kind::Reply, std::move(bytes)});
    return *this;
}

void ScriptedChannel::failWrite(size_t index) {
    failingWrites.insert(index);
}

std::vector<Bytes> ScriptedChannel::writtenBytes() const {
    std::vector<Bytes> out;
    for (const WrittenFrame& f : frames) {
        out.push_back(f.bytes);
    }
    return out;
}

size_t ScriptedChannel::callCount(ChannelCall::Kind kind) const {
    return static_cast<size_t>(
        std::count_if(log.begin(), log.end(), [kind](const ChannelCall& c) { return c.kind == kind; }));
}

std::string ScriptedChannel::trace() const {
    std::string letters;
    for (const ChannelCall& c : log) {
        switch (c.kind) {
            case ChannelCall::Kind::Open:
                letters += 'O';
                break;
            case ChannelCall::Kind::Write:
                letters += c.ok ? 'W' : 'w';
                break;
            case ChannelCall::Kind::Read:
                letters += c.ok ? 'R' : 'r';
                break;
            case ChannelCall::Kind::Flush:
                letters += 'F';
                break;
            case ChannelCall::Kind::Break:
                letters += 'B';
                break;
        }
    }
    return letters;
}

bool ScriptedChannel::open() {
    log.push_back({ChannelCall::Kind::Open, 0, 0, {}, 0, openResult});
    return openResult;
}

bool ScriptedChannel::checkOpen() {
    if (openError) {
        throw ScriptedOpenError(*openError);
    }
    return true;
}

bool ScriptedChannel::checkClose() {
    if (closeError) {
        throw bad_close();
    }
    return true;
}

bool ScriptedChannel::write(uint32_t txId, uint32_t rxId, const Bytes& bytes) {
    const bool ok = failingWrites.count(frames.size()) == 0;
    frames.push_back({txId, rxId, bytes});
    log.push_back({ChannelCall::Kind::Write, txId, rxId, bytes, 0, ok});
    if (writeHandler) {
        writeHandler(*this, frames.back());
    }
    return ok;
}

bool ScriptedChannel::read(uint32_t txId, uint32_t rxId, Bytes& out, uint32_t count) {
    out.clear();
    const bool ok = readFromScript(out, count);
    log.push_back({ChannelCall::Kind::Read, txId, rxId, out, count, ok});
    return ok;
}

bool ScriptedChannel::readFromScript(Bytes& out, uint32_t count) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(getComParams()->rxTimeoutMs);
    const auto timeOut = [&] {
        std::this_thread::sleep_until(deadline);
        arrive(Clock::now());
        return false;
    };
    for (;;) {
        const Clock::time_point now = Clock::now();
        arrive(now);
        if (pending.size() >= count) {
            out.assign(pending.begin(), pending.begin() + count);
            pending.erase(pending.begin(), pending.begin() + count);
            return true;
        }
        if (!inFlight.empty()) {
            if (inFlight.front().due > deadline) {
                return timeOut();
            }
            std::this_thread::sleep_until(inFlight.front().due);
            continue;
        }
        if (script.empty()) {
            return timeOut();
        }
        Step step = std::move(script.front());
        script.pop_front();
        switch (step.kind) {
            case Step::Kind::Frame:
            case Step::Kind::Late:
                inFlight.push_back({now + std::chrono::milliseconds(step.delayMs), std::move(step.bytes)});
                break;
            case Step::Kind::Missing:
                return timeOut();
            case Step::Kind::Reply:
                out = std::move(pending);
                pending.clear();
                out.insert(out.end(), step.bytes.begin(), step.bytes.end());
                return true;
        }
    }
}

void ScriptedChannel::arrive(Clock::time_point now) {
    while (!inFlight.empty() && inFlight.front().due <= now) {
        pending.insert(pending.end(), inFlight.front().bytes.begin(), inFlight.front().bytes.end());
        inFlight.pop_front();
    }
}

bool ScriptedChannel::sendBreak(uint32_t duration) {
    log.push_back({ChannelCall::Kind::Break, 0, 0, {}, duration, true});
    return true;
}

uint32_t ScriptedChannel::getAnswerId(uint32_t) {
    return answerId;
}

bool ScriptedChannel::flushReceive(uint32_t rxId) {
    arrive(Clock::now());
    pending.clear();
    log.push_back({ChannelCall::Kind::Flush, 0, rxId, {}, 0, true});
    return true;
}

}  // namespace testsupport

#include "tests/ecu/ScriptedEcu.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace ecutest {

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 24 && bytes.size() > 32) {
            text += " ... (" + std::to_string(bytes.size()) + " bytes)";
            break;
        }
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += (i == 0 ? "" : " ") + std::string(digits);
    }
    return text;
}

ScriptedEcu::ScriptedEcu() : Protocol(0, 0) {}

const std::string& ScriptedEcu::name() const {
    static const std::string text = "PROTOCOL_ScriptedEcu";
    return text;
}

bool ScriptedEcu::validate() {
    return true;
}

ScriptedEcu& ScriptedEcu::expect(Bytes request, Answer answer) {
    script.push_back({std::move(request), std::move(answer)});
    return *this;
}

ScriptedEcu& ScriptedEcu::expectAny(Answer answer) {
    script.push_back({std::nullopt, std::move(answer)});
    return *this;
}

bool ScriptedEcu::send(Communication*, uint32_t txId, uint32_t rxId, const Bytes& payload) {
    log.push_back({payload, txId, rxId, 0});
    pending.reset();
    if (script.empty()) {
        ADD_FAILURE() << "unexpected request " << log.size() << ": " << hex(payload);
        return false;
    }
    Step step = std::move(script.front());
    script.pop_front();
    if (step.request && *step.request != payload) {
        ADD_FAILURE() << "request " << log.size() << " differs\n  expected: " << hex(*step.request)
                      << "\n  sent:     " << hex(payload);
    }
    if (step.answer.kind == Answer::Kind::SendFails) {
        return false;
    }
    pending = std::move(step.answer);
    return true;
}

ScriptedEcu& ScriptedEcu::lateAnswer(Answer answer) {
    late.push_back(std::move(answer));
    return *this;
}

bool ScriptedEcu::receive(Communication*, uint32_t, uint32_t, Bytes& out, uint32_t count) {
    if (!pending) {
        ++unrequested;
        if (late.empty()) {
            return false;
        }
        pending = std::move(late.front());
        late.pop_front();
    } else if (!log.empty()) {
        log.back().answerLength = count;
    }
    const Answer answer = std::move(*pending);
    pending.reset();
    if (answer.kind != Answer::Kind::Reply) {
        return false;
    }
    out = answer.bytes;
    return true;
}

std::vector<Bytes> ScriptedEcu::requests() const {
    std::vector<Bytes> out;
    for (const Exchange& e : log) {
        out.push_back(e.request);
    }
    return out;
}

}  // namespace ecutest

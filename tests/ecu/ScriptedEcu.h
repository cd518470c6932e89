#pragma once
// The ECU end of a bootloader exchange, for tests of the ECU classes. It stands in the channel as the
// current protocol, so requests and replies pass as whole messages: every request is checked against
// the next step of the script (exact bytes, or any bytes) and answered as that step says: a reply, a
// negative reply 7F <service> <code>, an empty reply, no reply, or a send that fails. A receive
// without a request (the client waiting for a late answer) gets the next late answer given, or
// nothing.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "comm/Protocol.h"

namespace ecutest {

using Bytes = std::vector<uint8_t>;

struct Answer {
    enum class Kind { Reply, None, SendFails };
    Kind kind = Kind::None;
    Bytes bytes;

    static Answer reply(Bytes bytes) { return {Kind::Reply, std::move(bytes)}; }
    static Answer negative(uint8_t service, uint8_t code) { return {Kind::Reply, {0x7F, service, code}}; }
    static Answer empty() { return {Kind::Reply, {}}; }
    // The receive fails, as after the channel's receive time-out.
    static Answer none() { return {Kind::None, {}}; }
    static Answer sendFails() { return {Kind::SendFails, {}}; }
};

// One exchange as the ECU saw it.
struct Exchange {
    Bytes request;
    uint32_t txId = 0;
    uint32_t rxId = 0;
    // The answer length the receive asked for; 0 when no receive followed the request.
    uint32_t answerLength = 0;
};

class ScriptedEcu : public Protocol {
  public:
    ScriptedEcu();

    // "PROTOCOL_ScriptedEcu".
    const std::string& name() const override;
    bool validate() override;

    // The next request must be exactly request.
    ScriptedEcu& expect(Bytes request, Answer answer);
    // The next request may be anything.
    ScriptedEcu& expectAny(Answer answer);
    // What the next receive without a request gets.
    ScriptedEcu& lateAnswer(Answer answer);

    bool send(Communication* channel, uint32_t txId, uint32_t rxId, const Bytes& payload) override;
    bool receive(Communication* channel, uint32_t txId, uint32_t rxId, Bytes& out, uint32_t count) override;

    const std::vector<Exchange>& exchanges() const { return log; }
    std::vector<Bytes> requests() const;
    // Every step of the script has been used.
    bool done() const { return script.empty() && late.empty(); }
    // Receives that came without a request.
    size_t unrequestedReceives() const { return unrequested; }

  private:
    struct Step {
        std::optional<Bytes> request;
        Answer answer;
    };

    std::deque<Step> script;
    std::deque<Answer> late;
    size_t unrequested = 0;
    std::optional<Answer> pending;
    std::vector<Exchange> log;
};

// Bytes as "BB 72 03" for messages.
std::string hex(const Bytes& bytes);

}  // namespace ecutest

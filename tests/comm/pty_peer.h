#pragma once
// The other end of a serial channel under test: a pseudo-terminal pair whose slave the channel opens
// as "COM<n>" (through VOFLASH_COM<n>) and whose master the test reads and writes, optionally with a
// thread that answers whatever arrives.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Line settings of the slave side, read through the master.
struct LineSettings {
    uint32_t iflag;
    uint32_t oflag;
    uint32_t cflag;
    uint32_t lflag;
    uint32_t ispeed;
    uint32_t ospeed;
    bool raw8N1;     // 8 data bits, no parity, one stop bit, no flow control, no line editing
    bool canonical;  // line editing and echo, as a fresh terminal has them
};

// How the peer's answering thread hands over what the channel writes.
struct AnswerMode {
    // 0: every chunk the channel writes is handed to the answer as it comes. Otherwise the bytes are
    // gathered until the line has been quiet this long and handed over as one message.
    uint32_t quietMs = 0;
    // Every byte the channel writes is returned to it at once, as a half-duplex line does.
    bool echo = false;
};

class PtyPeer {
  public:
    // Makes the pair and points VOFLASH_COM<port> at the slave.
    explicit PtyPeer(uint32_t port);
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;
    ~PtyPeer();

    uint32_t port() const { return port_; }
    const std::string& slavePath() const { return slave_; }

    // Writes to the channel.
    void send(const std::vector<uint8_t>& bytes);
    // Reads what the channel wrote until n bytes came or timeoutMs passed.
    std::vector<uint8_t> receive(size_t n, uint32_t timeoutMs = 2000);
    LineSettings settings() const;

    using Answer = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;

    // Starts a thread that hands what the channel writes to answer and sends back its result.
    void answerWith(Answer answer, AnswerMode mode = {});
    // Everything the answering thread has received so far.
    std::vector<uint8_t> heard();
    void stop();

  private:
    uint32_t port_;
    int master_ = -1;
    std::string slave_;
    std::string variable_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<uint8_t> heard_;
};

}  // namespace testing_support

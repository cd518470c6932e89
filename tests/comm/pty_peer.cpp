#include "tests/comm/pty_peer.h"

// termios2 for the exact line speed; kept apart from <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace testing_support {

PtyPeer::PtyPeer(uint32_t port) : port_(port), variable_("VOFLASH_COM" + std::to_string(port)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no pseudo-terminal name");
    }
    slave_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::setenv(variable_.c_str(), slave_.c_str(), 1);
}

PtyPeer::~PtyPeer() {
    stop();
    ::unsetenv(variable_.c_str());
    ::close(master_);
}

void PtyPeer::send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("peer write failed");
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

std::vector<uint8_t> PtyPeer::receive(size_t n, uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> got;
    while (got.size() < n && Clock::now() < deadline) {
        uint8_t chunk[256];
        const ssize_t r = ::read(master_, chunk, std::min(sizeof chunk, n - got.size()));
        if (r > 0) {
            got.insert(got.end(), chunk, chunk + r);
            continue;
        }
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return got;
}

LineSettings PtyPeer::settings() const {
    struct termios2 t {};
    if (::ioctl(master_, TCGETS2, &t) != 0) {
        throw std::runtime_error("no line settings");
    }
    LineSettings s{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_ispeed, t.c_ospeed, false, false};
    s.raw8N1 = (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
               (t.c_cflag & CLOCAL) != 0 && (t.c_iflag & (IXON | IXOFF | ICRNL | INPCK)) == 0 &&
               (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
    s.canonical = (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
    return s;
}

void PtyPeer::answerWith(Answer answer, AnswerMode mode) {
    stop();
    running_ = true;
    thread_ = std::thread([this, answer = std::move(answer), mode] {
        using Clock = std::chrono::steady_clock;
        std::vector<uint8_t> message;
        Clock::time_point lastByte;
        // Once the channel has closed the line there is nobody to answer.
        const auto reply = [this](const std::vector<uint8_t>& bytes) {
            try {
                send(bytes);
            } catch (const std::runtime_error&) {
            }
        };
        while (running_) {
            pollfd p{master_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 5);
            uint8_t chunk[4096];
            const ssize_t r =
                ready > 0 && (p.revents & POLLIN) != 0 ? ::read(master_, chunk, sizeof chunk) : 0;
            if (r <= 0) {
                if (ready > 0) {
                    // Hung up: no channel has the slave open.
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                if (!message.empty() && Clock::now() - lastByte >= std::chrono::milliseconds(mode.quietMs)) {
                    reply(answer(message));
                    message.clear();
                }
                continue;
            }
            const std::vector<uint8_t> in(chunk, chunk + r);
            {
                std::lock_guard<std::mutex> guard(lock_);
                heard_.insert(heard_.end(), in.begin(), in.end());
            }
            if (mode.echo) {
                reply(in);
            }
            if (mode.quietMs == 0) {
                reply(answer(in));
            } else {
                message.insert(message.end(), in.begin(), in.end());
                lastByte = Clock::now();
            }
        }
    });
}

std::vector<uint8_t> PtyPeer::heard() {
    std::lock_guard<std::mutex> guard(lock_);
    return heard_;
}

void PtyPeer::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace testing_support

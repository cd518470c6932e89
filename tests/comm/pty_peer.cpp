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

void PtyPeer::answerWith(std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> answer) {
    stop();
    running_ = true;
    thread_ = std::thread([this, answer = std::move(answer)] {
        while (running_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) {
                continue;
            }
            uint8_t chunk[256];
            const ssize_t r = ::read(master_, chunk, sizeof chunk);
            if (r <= 0) {
                continue;
            }
            const std::vector<uint8_t> in(chunk, chunk + r);
            {
                std::lock_guard<std::mutex> guard(lock_);
                heard_.insert(heard_.end(), in.begin(), in.end());
            }
            send(answer(in));
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

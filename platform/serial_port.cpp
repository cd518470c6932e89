#include "platform/serial_port.h"

// termios2 (any baud rate through BOTHER) comes from the kernel's header, which cannot live
// together with <termios.h>; everything here is therefore done with the terminal ioctls.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace platform {

struct SerialPort::State {
    int fd = -1;
    bool haveSaved = false;
    struct termios2 saved {};
};

SerialPort::SerialPort() : state(std::make_unique<State>()) {}

SerialPort::~SerialPort() {
    close();
}

std::string SerialPort::devicePath(uint32_t port) {
    const std::string variable = "VOFLASH_COM" + std::to_string(port);
    if (const char* path = std::getenv(variable.c_str())) {
        return path;
    }
    if (port == 0) {
        return {};
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

int SerialPort::open(const std::string& path) {
    if (state->fd >= 0) {
        return EBUSY;
    }
    if (path.empty()) {
        return ENOENT;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    if (::isatty(fd) == 0) {
        const int error = errno != 0 ? errno : ENOTTY;
        ::close(fd);
        return error;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    state->fd = fd;
    state->haveSaved = false;
    return 0;
}

bool SerialPort::isOpen() const {
    return state->fd >= 0;
}

bool SerialPort::saveSettings() {
    if (state->fd < 0 || ::ioctl(state->fd, TCGETS2, &state->saved) != 0) {
        return false;
    }
    state->haveSaved = true;
    return true;
}

bool SerialPort::configure(uint32_t baud) {
    if (state->fd < 0 || baud == 0) {
        return false;
    }
    struct termios2 settings {};
    settings.c_iflag = 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::ioctl(state->fd, TCSETS2, &settings) != 0) {
        return false;
    }
    struct termios2 taken {};
    if (::ioctl(state->fd, TCGETS2, &taken) != 0 || (taken.c_cflag & CSIZE) != CS8 ||
        (taken.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0 || taken.c_ospeed == 0) {
        return false;
    }
    // Lines without modem signals (pseudo-terminals) refuse this; the line works without them.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(state->fd, TIOCMBIS, &lines);
    return true;
}

bool SerialPort::restoreSettings() {
    return state->fd >= 0 && state->haveSaved && ::ioctl(state->fd, TCSETS2, &state->saved) == 0;
}

namespace {

bool clearModemLine(int fd, int line) {
    return fd >= 0 && ::ioctl(fd, TIOCMBIC, &line) == 0;
}

}  // namespace

bool SerialPort::clearRts() {
    return clearModemLine(state->fd, TIOCM_RTS);
}

bool SerialPort::clearDtr() {
    return clearModemLine(state->fd, TIOCM_DTR);
}

bool SerialPort::purge() {
    return state->fd >= 0 && ::ioctl(state->fd, TCFLSH, TCIOFLUSH) == 0;
}

bool SerialPort::purgeInput() {
    return state->fd >= 0 && ::ioctl(state->fd, TCFLSH, TCIFLUSH) == 0;
}

bool SerialPort::setBreak(bool on) {
    return state->fd >= 0 && ::ioctl(state->fd, on ? TIOCSBRK : TIOCCBRK) == 0;
}

int64_t SerialPort::inputQueued() const {
    int count = 0;
    if (state->fd < 0 || ::ioctl(state->fd, FIONREAD, &count) != 0 || count < 0) {
        return -1;
    }
    return count;
}

int64_t SerialPort::read(uint8_t* data, size_t size) {
    if (state->fd < 0) {
        return -1;
    }
    if (size == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t got = ::read(state->fd, data, size);
        if (got >= 0) {
            return got;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool SerialPort::writeAll(const uint8_t* data, size_t size, uint32_t timeoutMs) {
    if (state->fd < 0) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(state->fd, data + done, size - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        struct pollfd waitFor {
            state->fd, POLLOUT, 0
        };
        const int ready = ::poll(&waitFor, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (waitFor.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
    return true;
}

bool SerialPort::close() {
    if (state->fd < 0) {
        return true;
    }
    const int fd = state->fd;
    state->fd = -1;
    state->haveSaved = false;
    return ::close(fd) == 0;
}

}  // namespace platform

#pragma once
// A function run in a forked child process, with a socket to talk to the test. Fork only while the
// test process has a single thread; the child leaves through _exit.

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testing_support {

class ChildProcess {
  public:
    // The body's result is the child's exit code.
    explicit ChildProcess(const std::function<int(ChildProcess&)>& body) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(sv[0]);
            fd_ = sv[1];
            _exit(body(*this));
        }
        close(sv[1]);
        fd_ = sv[0];
        if (pid_ < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool started() const { return pid_ > 0; }

    // Either side: one byte to the other.
    bool send(char c) { return ::send(fd_, &c, 1, MSG_NOSIGNAL) == 1; }
    // Either side: the next byte from the other, or '\0' after timeoutMs (-1: no limit) or at its end.
    char receive(int timeoutMs = 10000) {
        pollfd p{fd_, POLLIN, 0};
        char c = '\0';
        if (poll(&p, 1, timeoutMs) != 1 || read(fd_, &c, 1) != 1) {
            return '\0';
        }
        return c;
    }

    // Either side: a text without NUL characters, and the next one (up to a '\0', the end or a byte
    // that takes longer than timeoutMs).
    bool sendText(const std::string& text) {
        for (const char c : text) {
            if (!send(c)) {
                return false;
            }
        }
        return send('\0');
    }
    std::string receiveText(int timeoutMs = 10000) {
        std::string text;
        for (char c = receive(timeoutMs); c != '\0'; c = receive(timeoutMs)) {
            text.push_back(c);
        }
        return text;
    }

    // Test side: the exit code, or -1 when the child did not end normally within timeoutMs.
    int wait(int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (status_ < 0 && pid_ > 0) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
            } else if (r < 0 || std::chrono::steady_clock::now() > deadline) {
                return -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return status_ == 256 ? -1 : status_;
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
};

}  // namespace testing_support

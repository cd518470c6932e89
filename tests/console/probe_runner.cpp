#include "tests/console/probe_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace probe {

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

void setFlag(int fd, int flag) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | flag);
}

void setCloseOnExec(int fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::vector<std::string> environmentFor(const Setup& setup) {
    std::vector<std::pair<std::string, std::optional<std::string>>> changes = {
        {"TERM", "xterm"}, {"NO_COLOR", std::nullopt}, {"CONSOLE_PROBE_EARLY", std::nullopt}};
    changes.insert(changes.end(), setup.environment.begin(), setup.environment.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    for (const auto& [name, value] : changes) {
        std::erase_if(env, [&](const std::string& entry) { return entry.starts_with(name + "="); });
        if (value) {
            env.push_back(name + "=" + *value);
        }
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) {
        p.push_back(s.data());
    }
    p.push_back(nullptr);
    return p;
}

// Reads what is there without waiting.
void drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace

Result run(const std::vector<std::string>& commands, const Setup& setup) {
    std::vector<std::string> argv = {CONSOLE_PROBE_PATH};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return runProgram(argv, setup);
}

Result runProgram(const std::vector<std::string>& program, const Setup& setup) {
    int master = -1, slave = -1;
    if (setup.output == Output::terminal || setup.input == Input::terminal) {
        winsize ws{};
        ws.ws_col = setup.columns;
        ws.ws_row = setup.rows;
        check(openpty(&master, &slave, nullptr, nullptr, &ws) == 0, "openpty");
        setCloseOnExec(master);
        setCloseOnExec(slave);
        setFlag(master, O_NONBLOCK);
    }
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
    check(pipe2(errPipe, O_CLOEXEC | O_NONBLOCK) == 0, "pipe");
    if (setup.output == Output::pipe) {
        check(pipe2(outPipe, O_CLOEXEC) == 0, "pipe");
        setFlag(outPipe[0], O_NONBLOCK);
    }
    int in = -1;
    if (setup.input == Input::devNull) {
        in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else if (setup.input == Input::closedPipe) {
        check(pipe2(inPipe, O_CLOEXEC) == 0, "pipe");
        close(inPipe[1]);
        in = inPipe[0];
    } else {
        in = slave;
    }
    const int out = setup.output == Output::pipe ? outPipe[1] : slave;

    std::vector<std::string> args = program;
    std::vector<std::string> env = environmentFor(setup);
    std::vector<char*> argv = pointers(args), envp = pointers(env);

    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        setsid();
        if (slave >= 0) {
            ioctl(slave, TIOCSCTTY, 0);
        }
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(errPipe[1]);
    if (outPipe[1] >= 0) {
        close(outPipe[1]);
    }
    if (in != slave) {
        close(in);
    }

    Result result;
    if (setup.whileRunning) {
        setup.whileRunning(master, slave);
    }
    const int outRead = setup.output == Output::pipe ? outPipe[0] : master;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(setup.timeoutSeconds));
    int status = 0;
    for (;;) {
        pollfd fds[2] = {{outRead, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        drain(outRead, result.out);
        drain(errPipe[0], result.err);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            break;
        }
        if (Clock::now() > deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
    }
    // The pipes are at their end now; a read on the terminal first takes in everything the probe
    // wrote before it ended.
    drain(outRead, result.out);
    drain(errPipe[0], result.err);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    if (slave >= 0) {
        termios t{};
        tcgetattr(slave, &t);
        result.terminalLocalFlags = t.c_lflag;
        close(slave);
        close(master);
    }
    close(errPipe[0]);
    if (outPipe[0] >= 0) {
        close(outPipe[0]);
    }
    return result;
}

std::vector<std::string> screenRows(const std::string& out, int columns) {
    std::vector<std::string> rows(1);
    size_t row = 0;
    int column = 0;
    const auto put = [&](char c) {
        if (column >= columns) {
            column = 0;
            ++row;
        }
        if (rows.size() <= row) {
            rows.resize(row + 1);
        }
        std::string& text = rows[row];
        if (text.size() <= static_cast<size_t>(column)) {
            text.resize(static_cast<size_t>(column) + 1, ' ');
        }
        text[static_cast<size_t>(column)] = c;
        ++column;
    };
    for (size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        if (c == '\x1b' && i + 1 < out.size() && out[i + 1] == '[') {
            size_t end = i + 2;
            while (end < out.size() && (out[end] < 0x40 || out[end] > 0x7E)) {
                ++end;
            }
            if (end == out.size()) {
                break;
            }
            const std::string parameter = out.substr(i + 2, end - i - 2);
            const int n = parameter.empty() || parameter[0] == '?' ? 1 : std::stoi(parameter);
            switch (out[end]) {
                case 'A':
                    row = row >= static_cast<size_t>(n) ? row - static_cast<size_t>(n) : 0;
                    break;
                case 'B':
                    row += static_cast<size_t>(n);
                    break;
                case 'G':
                    column = n - 1;
                    break;
                default:
                    break;
            }
            i = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            // As a terminal's output processing has it: a new line starts at column 0.
            ++row;
            column = 0;
        } else if (c == '\b') {
            column = column > 0 ? column - 1 : 0;
        } else {
            put(c);
        }
    }
    rows.resize(std::max(rows.size(), row + 1));
    for (std::string& text : rows) {
        text.erase(text.find_last_not_of(' ') + 1);
    }
    return rows;
}

std::string barText(int equals, bool arrow, const std::string& number) {
    std::string line = "[";
    line.append(static_cast<size_t>(equals), '=');
    if (arrow) {
        line += '>';
    }
    line.append(static_cast<size_t>(50 - equals - (arrow ? 1 : 0)), ' ');
    line += "] ";
    line += number;
    line += " %\r";
    return line;
}

bool waitForKeyMode(int slave, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        termios t{};
        if (tcgetattr(slave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace probe

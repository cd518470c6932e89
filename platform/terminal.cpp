#include "platform/terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>

namespace platform {

namespace {

constexpr int kTabWidth = 8;

std::string controlSequence(int count, char final) {
    return "\x1b[" + std::to_string(count) + final;
}

}  // namespace

CursorModel::CursorModel(int columns, int rows) : columns_(1), rows_(1) {
    resize(columns, rows);
}

void CursorModel::resize(int columns, int rows) {
    columns_ = std::max(columns, 1);
    rows_ = std::max(rows, 1);
    column_ = std::min(column_, columns_ - 1);
}

void CursorModel::nextRow() {
    row_ = std::min(row_ + 1, kMaxRow);
    lowestRow_ = std::max(lowestRow_, row_);
    column_ = 0;
    wrapPending_ = false;
}

void CursorModel::follow(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (escape_ == Escape::started) {
            escape_ = c == '[' ? Escape::controlSequence : Escape::none;
            continue;
        }
        if (escape_ == Escape::controlSequence) {
            if (c >= 0x40 && c <= 0x7E) {
                escape_ = Escape::none;
            }
            continue;
        }
        switch (c) {
            case 0x1B:
                escape_ = Escape::started;
                break;
            case '\n':
                nextRow();
                break;
            case '\r':
                column_ = 0;
                wrapPending_ = false;
                break;
            case '\b':
                wrapPending_ = false;
                column_ = std::max(column_ - 1, 0);
                break;
            case '\t':
                column_ = std::min((column_ / kTabWidth + 1) * kTabWidth, columns_ - 1);
                break;
            default:
                // Other control characters and UTF-8 continuation bytes take no room.
                if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0xBF)) {
                    break;
                }
                if (wrapPending_) {
                    nextRow();
                }
                if (column_ == columns_ - 1) {
                    wrapPending_ = true;
                } else {
                    ++column_;
                }
                break;
        }
    }
}

std::string CursorModel::moveTo(int column, int row) {
    if (column < 0 || row < 0) {
        return {};
    }
    const int top = std::max(0, lowestRow_ - rows_ + 1);
    row = std::clamp(row, top, kMaxRow);
    column = std::min(column, columns_ - 1);

    std::string out;
    bool columnKnown = !wrapPending_;
    if (row < row_) {
        out += controlSequence(row_ - row, 'A');
    } else if (row > row_) {
        const int down = std::min(row, lowestRow_) - row_;
        if (down > 0) {
            out += controlSequence(down, 'B');
        }
        if (row > lowestRow_) {
            // Cursor-down stops at the bottom of the screen; newlines scroll.
            out.append(static_cast<std::size_t>(row - lowestRow_), '\n');
            lowestRow_ = row;
            column_ = 0;
            columnKnown = true;
        }
    }
    row_ = row;
    if (column != column_ || !columnKnown) {
        out += controlSequence(column + 1, 'G');
    }
    column_ = column;
    wrapPending_ = false;
    return out;
}

namespace {

constexpr char kResetSequence[] = "\x1b[0m\x1b[?25h";

// Shared with the signal handlers, so lock-free atomics and plain data only.
std::atomic<bool> sizeChanged{false};
std::atomic<bool> resetOnExit{false};
std::atomic<bool> keyModeActive{false};
termios keySavedSettings;  // meaningful while keyModeActive

// Writes all n bytes to fd unless an error other than EINTR stops it; returns the count written.
// Async-signal-safe.
std::size_t writeAll(int fd, const char* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, data + done, n - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
                break;
            }
        } else {
            break;
        }
    }
    return done;
}

void restoreKeySettings() {
    if (keyModeActive.exchange(false)) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &keySavedSettings);
    }
}

void restoreTerminal() {
    if (resetOnExit.load()) {
        writeAll(STDOUT_FILENO, kResetSequence, sizeof kResetSequence - 1);
    }
    restoreKeySettings();
}

void onTerminatingSignal(int signal) {
    const int savedErrno = errno;
    restoreTerminal();
    errno = savedErrno;
    // The handler was installed with SA_RESETHAND: the default action ends the process.
    ::raise(signal);
}

void onWindowChange(int) {
    sizeChanged.store(true);
}

// Installs handler for signal unless the process was started with that signal handled or ignored.
void installHandler(int signal, void (*handler)(int), int flags) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 ||
        old.sa_handler != SIG_DFL) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal, &action, nullptr);
}

bool environmentAllowsColour() {
    const char* term = std::getenv("TERM");
    const char* noColour = std::getenv("NO_COLOR");
    return (term == nullptr || std::strcmp(term, "dumb") != 0) && (noColour == nullptr || *noColour == '\0');
}

std::string attributeSequence(uint16_t attribute) {
    if (attribute == 7) {
        return "\x1b[0m";
    }
    // Console foreground bits: 1 blue, 2 green, 4 red, 8 bright.
    const int colour = ((attribute & 4) ? 1 : 0) | ((attribute & 2) ? 2 : 0) | ((attribute & 1) ? 4 : 0);
    return controlSequence(((attribute & 8) ? 90 : 30) + colour, 'm');
}

class Terminal {
  public:
    Terminal()
        : outputIsTerminal_(::isatty(STDOUT_FILENO) == 1),
          styled_(outputIsTerminal_ && environmentAllowsColour()) {
        readSize();
    }

    bool outputIsTerminal() const { return outputIsTerminal_; }
    bool styled() const { return styled_; }

    std::size_t writeText(const char* text, std::size_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        refreshSize();
        const std::size_t written = writeAll(STDOUT_FILENO, text, n);
        model_.follow(text, written);
        return written;
    }

    void writeControl(const std::string& sequence) {
        if (!sequence.empty()) {
            writeAll(STDOUT_FILENO, sequence.data(), sequence.size());
        }
    }

    void setAttribute(uint16_t attribute) {
        attributeChanges_.fetch_add(1);
        if (styled_) {
            std::lock_guard<std::mutex> guard(lock_);
            writeControl(attributeSequence(attribute));
        }
    }

    uint64_t attributeChanges() const { return attributeChanges_.load(); }

    void setCursorVisible(bool visible) {
        if (styled_) {
            std::lock_guard<std::mutex> guard(lock_);
            writeControl(visible ? "\x1b[?25h" : "\x1b[?25l");
        }
    }

    void moveCursor(int column, int row) {
        if (styled_) {
            std::lock_guard<std::mutex> guard(lock_);
            refreshSize();
            writeControl(model_.moveTo(column, row));
        }
    }

    CursorPosition position() {
        std::lock_guard<std::mutex> guard(lock_);
        refreshSize();
        return {model_.column(), model_.row()};
    }

    TerminalSize size() {
        std::lock_guard<std::mutex> guard(lock_);
        refreshSize();
        return {model_.columns(), model_.rows()};
    }

  private:
    void refreshSize() {
        if (sizeChanged.exchange(false)) {
            readSize();
        }
    }

    void readSize() {
        winsize ws{};
        if (outputIsTerminal_ && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
            model_.resize(ws.ws_col, ws.ws_row > 0 ? ws.ws_row : 24);
        } else {
            model_.resize(80, 24);
        }
    }

    const bool outputIsTerminal_;
    const bool styled_;
    std::mutex lock_;
    CursorModel model_;
    std::atomic<uint64_t> attributeChanges_{0};
};

// Kept for the whole process: std::cout writes into it until the very end, static destructors
// and exit handlers included.
template <class T>
union Everlasting {
    Everlasting() : value() {}
    ~Everlasting() {}
    T value;
};

Terminal& terminal() {
    static Everlasting<Terminal> instance;
    return instance.value;
}

// The buffer under std::cout. It has no put area: every character and block reaches the terminal
// with the call that writes it.
class TrackingBuffer final : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char ch = traits_type::to_char_type(c);
        return terminal().writeText(&ch, 1) == 1 ? c : traits_type::eof();
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        return n <= 0 ? 0
                      : static_cast<std::streamsize>(terminal().writeText(s, static_cast<std::size_t>(n)));
    }
};

TrackingBuffer& trackingBuffer() {
    static Everlasting<TrackingBuffer> instance;
    return instance.value;
}

}  // namespace

void installTerminal() {
    static const bool installed = [] {
        // std::cout must exist before its buffer can be replaced, whichever initialiser runs first.
        static std::ios_base::Init streamsReady;
        Terminal& t = terminal();
        std::cout.rdbuf(&trackingBuffer());
        resetOnExit.store(t.styled());
        // Registered first, so it runs after every later exit handler and static destructor.
        std::atexit(restoreTerminal);
        if (t.styled() || ::isatty(STDIN_FILENO) == 1) {
            installHandler(SIGINT, onTerminatingSignal, SA_RESETHAND);
            installHandler(SIGTERM, onTerminatingSignal, SA_RESETHAND);
        }
        if (t.outputIsTerminal()) {
            installHandler(SIGWINCH, onWindowChange, SA_RESTART);
        }
        return true;
    }();
    (void)installed;
}

namespace {

// Priority 101 runs ahead of every initialiser without one, in any library of the program, so the
// layer is in place before anything can print.
struct InstallAtStartUp {
    InstallAtStartUp() { installTerminal(); }
};
InstallAtStartUp installAtStartUp __attribute__((init_priority(101)));

}  // namespace

bool terminalStyled() {
    installTerminal();
    return terminal().styled();
}

void setTextAttribute(uint16_t attribute) {
    installTerminal();
    terminal().setAttribute(attribute);
}

uint64_t textAttributeChanges() {
    return terminal().attributeChanges();
}

void setCursorVisible(bool visible) {
    installTerminal();
    terminal().setCursorVisible(visible);
}

void moveCursor(int column, int row) {
    installTerminal();
    terminal().moveCursor(column, row);
}

CursorPosition cursorPosition() {
    installTerminal();
    return terminal().position();
}

TerminalSize terminalSize() {
    installTerminal();
    return terminal().size();
}

int readKey() {
    installTerminal();
    termios saved{};
    bool changed = false;
    if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios keyMode = saved;
        keyMode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        keyMode.c_cc[VMIN] = 1;
        keyMode.c_cc[VTIME] = 0;
        // Published before the change so that a signal arriving in between restores it.
        keySavedSettings = saved;
        keyModeActive.store(true);
        changed = ::tcsetattr(STDIN_FILENO, TCSANOW, &keyMode) == 0;
        if (!changed) {
            keyModeActive.store(false);
        }
    }
    unsigned char key = 0;
    ssize_t r;
    do {
        r = ::read(STDIN_FILENO, &key, 1);
    } while (r < 0 && errno == EINTR);
    if (changed) {
        restoreKeySettings();
    }
    return r == 1 ? key : -1;
}

}  // namespace platform

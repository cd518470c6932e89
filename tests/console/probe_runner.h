#pragma once
// Starts console_probe (or another program) with its standard output on a pipe or on a
// pseudo-terminal and collects what it writes.

#include <termios.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace probe {

enum class Output { pipe, terminal };
enum class Input { devNull, closedPipe, terminal };

struct Setup {
    Output output = Output::pipe;
    Input input = Input::devNull;
    // Set (or, without a value, removed) on top of the inherited environment, in which TERM is
    // "xterm" and NO_COLOR is unset.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    unsigned short columns = 80;
    unsigned short rows = 24;
    // Runs in the test while the probe runs, with the terminal's master and slave descriptors.
    std::function<void(int master, int slave)> whileRunning;
    // After this the program is killed and the result says it timed out.
    double timeoutSeconds = 10;
};

struct Result {
    std::string out;  // standard output as the pipe or the terminal's master received it
    std::string err;  // the answers of the queries
    bool timedOut = false;
    int exitCode = -1;                // when it exited
    int signal = 0;                   // when a signal ended it
    tcflag_t terminalLocalFlags = 0;  // the terminal's c_lflag after the probe ended
};

Result run(const std::vector<std::string>& commands, const Setup& setup = {});
// The same for any program: argv[0] is its path.
Result runProgram(const std::vector<std::string>& argv, const Setup& setup = {});

// The progress bar's line: "[", equals "=", a ">" when arrow, blanks up to 50 cells, "] ", number,
// " %\r".
std::string barText(int equals, bool arrow, const std::string& number);

// The rows of a screen of the given width after out was written to it from its top left corner, as
// a terminal shows them: "\r", "\n" (to the next row's first column), "\b", printable characters (a character
// past the last column goes to the next row), the cursor moves CSI n A, B and G; other escape sequences
// change nothing. Each row without its trailing blanks; rows never written are empty.
std::vector<std::string> screenRows(const std::string& out, int columns = 80);

// Waits (up to seconds) until the terminal has line editing and echo off; false if it never does.
bool waitForKeyMode(int slave, double seconds = 5.0);

}  // namespace probe

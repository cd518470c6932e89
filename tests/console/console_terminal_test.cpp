// The console with standard output on a pseudo-terminal. The terminal's output processing turns
// each "\n" into "\r\n" on the way to the master side.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/console/probe_runner.h"

namespace {

using probe::barText;

const std::string kReset = "\x1b[0m\x1b[?25h";

probe::Setup onTerminal() {
    probe::Setup setup;
    setup.output = probe::Output::terminal;
    return setup;
}

probe::Result runOnTerminal(const std::vector<std::string>& commands, probe::Setup setup = onTerminal()) {
    probe::Result r = probe::run(commands, setup);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r;
}

std::string lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += "\r\n";
    }
    return s;
}

TEST(ConsoleTerminal, ColourSequencesOnlyOnAttributeChanges) {
    const probe::Result r = runOnTerminal({"n:a", "e:b", "e:c", "i:d", "s:e", "w:f", "w:g", "n:h"});
    EXPECT_EQ(r.out, "a\x1b[91mbc\x1b[96md\x1b[92me\x1b[93mfg\x1b[0mh" + kReset);
}

TEST(ConsoleTerminal, EscapeSequencesDependOnTerminalAndEnvironment) {
    struct Case {
        const char* name;
        probe::Output output;
        std::vector<std::pair<std::string, std::optional<std::string>>> environment;
        bool styled;
    };
    const Case cases[] = {
        {"terminal", probe::Output::terminal, {}, true},
        {"TERM unset", probe::Output::terminal, {{"TERM", std::nullopt}}, true},
        {"NO_COLOR empty", probe::Output::terminal, {{"NO_COLOR", ""}}, true},
        {"NO_COLOR set", probe::Output::terminal, {{"NO_COLOR", "1"}}, false},
        {"dumb terminal", probe::Output::terminal, {{"TERM", "dumb"}}, false},
        {"pipe", probe::Output::pipe, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        probe::Setup setup;
        setup.output = c.output;
        setup.environment = c.environment;
        const probe::Result r = runOnTerminal({"n:\n", "e:x", "cursor:0", "goto:0,0", "cursor:1"}, setup);
        const std::string newline = c.output == probe::Output::terminal ? "\r\n" : "\n";
        if (c.styled) {
            EXPECT_EQ(r.out, newline + "\x1b[91mx\x1b[?25l\x1b[1A\x1b[1G\x1b[?25h" + kReset);
        } else {
            EXPECT_EQ(r.out, newline + "x");
        }
    }
}

TEST(ConsoleTerminal, ProgressBarRedrawsInPlace) {
    const probe::Result r = runOnTerminal({"n:\n\n", "bar:10", "bar:20", "?pos"});
    EXPECT_EQ(r.out, lines(2) + "\x1b[11G" + barText(5, true, "10") + "\x1b[11G" + barText(10, true, "20") +
                         "\x1b[11G" + kReset);
    EXPECT_EQ(r.err, "pos 2 10\n");
}

// A closed bar draws nothing; the message after it starts at column 0 of the row below the bar (or
// below text on the bar's row), never over an earlier row.
TEST(ConsoleTerminal, FinishedProgressBarMovesBelowItsRow) {
    struct Case {
        const char* label;
        std::vector<std::string> commands;
        std::string out;
        const char* position;
    };
    const Case cases[] = {
        {"after a bar",
         {"n:\n\n", "bar:40", "done", "n:msg"},
         lines(2) + "\x1b[11G" + barText(20, true, "40") + "\x1b[11G" + "\r\n" + "msg",
         "pos 3 3\n"},
        {"after a bar on a row written below",
         {"n:\n\n\n", "goto:0,1", "bar:40", "done", "n:msg"},
         lines(3) + "\x1b[2A" + "\x1b[11G" + barText(20, true, "40") + "\x1b[11G" + "\x1b[1B\x1b[1G" + "msg",
         "pos 2 3\n"},
        {"after text", {"n:\nabc", "done", "n:msg"}, lines(1) + "abc" + "\r\n" + "msg", "pos 2 3\n"},
        {"at column 0", {"n:\n\n", "done", "n:msg"}, lines(2) + "msg", "pos 2 3\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> commands = c.commands;
        commands.push_back("?pos");
        const probe::Result r = runOnTerminal(commands);
        EXPECT_EQ(r.out, c.out + kReset);
        EXPECT_EQ(r.err, c.position);
    }
}

TEST(ConsoleTerminal, ProgressBarObjectReturnsToItsRow) {
    const probe::Result r =
        runOnTerminal({"n:\n\n\n\n\n\n", "pb:10", "update:50", "update:51", "finish:1", "?pos"});
    EXPECT_EQ(r.out, lines(6) + "\x1b[11G" + barText(25, true, "50") + "\x1b[11G" + "\x1b[5A" + kReset);
    EXPECT_EQ(r.err, "pos 1 10\n");
}

TEST(ConsoleTerminal, CursorMovesAreRelative) {
    const probe::Result r = runOnTerminal({"o:" + std::string(30, '\n'), "goto:0,0", "?pos", "goto:4,33",
                                           "?pos", "col:12", "?pos", "goto:65535,0", "?pos"});
    EXPECT_EQ(r.out, lines(30) + "\x1b[23A" + "\x1b[23B" + lines(3) + "\x1b[5G" + "\x1b[13G" + kReset);
    // 24 rows visible: row 7 is the highest one reachable from row 30.
    EXPECT_EQ(r.err, "pos 7 0\npos 33 4\npos 33 12\npos 33 12\n");
}

TEST(ConsoleTerminal, WidthFollowsTheTerminalSize) {
    probe::Setup setup = onTerminal();
    setup.columns = 30;
    const probe::Result r = runOnTerminal({"o:" + std::string(35, 'x'), "?pos", "resize:20,24",
                                           "o:\n" + std::string(25, 'y'), "?pos", "col:50"},
                                          setup);
    EXPECT_EQ(r.err, "pos 1 5\npos 3 5\n");
    EXPECT_NE(r.out.find("\x1b[20G"), std::string::npos);
}

TEST(ConsoleTerminal, StreamsServeStaticInitialisersAndDestructors) {
    probe::Setup setup = onTerminal();
    setup.environment = {{"CONSOLE_PROBE_EARLY", "1"}};
    const probe::Result r = runOnTerminal({"?pos", "n:main\n"}, setup);
    EXPECT_EQ(r.out, "\x1b[96mearly\r\n\x1b[0mmain\r\n\x1b[91mlate\r\n" + kReset);
    EXPECT_EQ(r.err, "pos 1 0\n");
}

TEST(ConsoleTerminal, TerminatingSignalResetsTheTerminal) {
    for (const char* signal : {"INT", "TERM"}) {
        SCOPED_TRACE(signal);
        const probe::Result r =
            probe::run({"e:x", "cursor:0", std::string("raise:") + signal, "n:never"}, onTerminal());
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, std::string(signal) == "INT" ? SIGINT : SIGTERM);
        EXPECT_EQ(r.out, "\x1b[91mx\x1b[?25l" + kReset);
    }
}

TEST(ConsoleTerminal, KeyIsReadWithoutEchoAndSettingsComeBack) {
    probe::Setup setup = onTerminal();
    setup.input = probe::Input::terminal;
    bool signalsKept = false;
    setup.whileRunning = [&](int master, int slave) {
        ASSERT_TRUE(probe::waitForKeyMode(slave));
        termios t{};
        tcgetattr(slave, &t);
        signalsKept = (t.c_lflag & ISIG) != 0;
        ASSERT_EQ(write(master, "k", 1), 1);
    };
    const probe::Result r = runOnTerminal({"key", "?tty", "n:done"}, setup);
    EXPECT_TRUE(signalsKept);
    EXPECT_EQ(r.out, "Press any key to continue . . . \r\ndone" + kReset);
    EXPECT_EQ(r.err, "tty canon=1 echo=1 isig=1\n");
}

TEST(ConsoleTerminal, InterruptDuringKeyRestoresTheSettings) {
    probe::Setup setup = onTerminal();
    setup.input = probe::Input::terminal;
    setup.whileRunning = [](int master, int slave) {
        ASSERT_TRUE(probe::waitForKeyMode(slave));
        ASSERT_EQ(write(master, "\x03", 1), 1);
    };
    const probe::Result r = probe::run({"e:x", "key"}, setup);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.terminalLocalFlags & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(r.out, "\x1b[91mx\x1b[0mPress any key to continue . . . \r\n" + kReset);
}

TEST(ConsoleTerminal, KeyPromptReturnsAtEndOfInput) {
    const probe::Result r = runOnTerminal({"key", "n:after"});
    EXPECT_EQ(r.out, "Press any key to continue . . . \r\nafter" + kReset);
}

}  // namespace

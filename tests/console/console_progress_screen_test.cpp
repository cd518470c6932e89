// The progress bars as a terminal shows them: a bar drawn over a longer one leaves nothing of it
// behind, on a colour terminal, on a terminal without escape sequences and through a pipe.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/console/probe_runner.h"

namespace {

using probe::barText;

// The bar's row as it must show: from column 10 on a colour terminal (where the cursor moves),
// from column 0 elsewhere (the bar follows the "\r" of the one before).
std::string shownBar(int equals, bool arrow, const std::string& number, bool styled) {
    std::string text = barText(equals, arrow, number);
    text.pop_back();  // the "\r"
    return (styled ? std::string(10, ' ') : std::string()) + text;
}

struct Output {
    const char* name;
    probe::Output output;
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    bool styled;
};

const Output kOutputs[] = {
    {"colour terminal", probe::Output::terminal, {}, true},
    {"terminal without colour", probe::Output::terminal, {{"NO_COLOR", "1"}}, false},
    {"pipe", probe::Output::pipe, {}, false},
};

struct RedrawCase {
    const char* name;
    std::vector<std::string> commands;
    int equals;
    bool arrow;
    std::string number;
};

TEST(ConsoleProgressScreen, ABarOverALongerOneLeavesNothingBehind) {
    const RedrawCase cases[] = {
        {"99 over 100", {"bar:100", "bar:99"}, 49, true, "99"},
        {"7 over 150", {"bar:150", "bar:7"}, 3, true, "7"},
        {"0 over 100 over 5", {"bar:5", "bar:100", "bar:0"}, 0, true, "0"},
        {"object bar, 90 over 150", {"pb:10", "total:10", "update:15", "update:9"}, 45, true, "90"},
    };
    for (const Output& o : kOutputs) {
        for (const RedrawCase& c : cases) {
            SCOPED_TRACE(std::string(o.name) + ": " + c.name);
            probe::Setup setup;
            setup.output = o.output;
            setup.environment = o.environment;
            std::vector<std::string> commands = {"n:top\n\n"};
            commands.insert(commands.end(), c.commands.begin(), c.commands.end());
            commands.push_back("n:\nbelow");
            const probe::Result r = probe::run(commands, setup);
            ASSERT_FALSE(r.timedOut);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const std::vector<std::string> rows = probe::screenRows(r.out);
            ASSERT_EQ(rows.size(), 4u) << r.out;
            EXPECT_EQ(rows[0], "top");
            EXPECT_EQ(rows[1], "");
            EXPECT_EQ(rows[2], shownBar(c.equals, c.arrow, c.number, o.styled)) << r.out;
            EXPECT_EQ(rows[3], "below");
        }
    }
}

// The bar's own text stays as it is: blanks follow its " %" only as far as the longer bar reached,
// and a bar on a row of its own, or over a shorter bar, gets none.
TEST(ConsoleProgressScreen, OnlyTheLongerBarsRestIsBlanked) {
    const struct {
        const char* name;
        std::vector<std::string> commands;
        std::string out;
    } cases[] = {
        {"shorter over longer",
         {"bar:100", "bar:99"},
         barText(50, false, "100") + "[" + std::string(49, '=') + ">] 99 % \r"},
        {"two digits shorter",
         {"bar:150", "bar:7"},
         barText(50, false, "150") + "[===>" + std::string(46, ' ') + "] 7 %  \r"},
        {"longer over shorter", {"bar:99", "bar:100"}, barText(49, true, "99") + barText(50, false, "100")},
        {"a row of its own",
         {"bar:100", "n:\n", "bar:5"},
         barText(50, false, "100") + "\n" + barText(2, true, "5")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const probe::Result r = probe::run(c.commands);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

}  // namespace

// The console with standard output on a pipe: text only, exactly as written.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/console/probe_runner.h"

namespace {

using probe::barText;

probe::Result runPlain(const std::vector<std::string>& commands, const probe::Setup& setup = {}) {
    probe::Result r = probe::run(commands, setup);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r;
}

TEST(ConsolePlain, ProgressBarCellsAndPercentage) {
    struct Case {
        uint32_t percent;
        int equals;
        bool arrow;
    };
    const Case cases[] = {{0, 0, true},   {1, 0, true},     {2, 1, true},
                          {50, 25, true}, {100, 50, false}, {150, 50, false}};
    // normalOut is left in hexadecimal first: the bar prints the percentage in decimal all the same.
    std::vector<std::string> commands = {"hex"};
    std::string expected;
    for (const auto& c : cases) {
        commands.push_back("bar:" + std::to_string(c.percent));
        expected += barText(c.equals, c.arrow, std::to_string(c.percent));
    }
    const probe::Result r = runPlain(commands);
    EXPECT_EQ(r.out, expected);
}

TEST(ConsolePlain, FinishedProgressBarDrawsNothing) {
    EXPECT_EQ(runPlain({"done"}).out, "");
    EXPECT_EQ(runPlain({"bar:7", "done"}).out, barText(3, true, "7"));
}

TEST(ConsolePlain, TextPassesUnchangedWithoutEscapeSequences) {
    const std::string line(100, '-');
    const probe::Result r = runPlain({"e:error\n", "i:info ", "s:ok\t", "n:normal\r", "w:warn\b", "o:" + line,
                                      "cursor:0", "goto:3,0", "col:5", "bar:100", "cursor:1", "restore"});
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.out, "error\ninfo ok\tnormal\rwarn\b" + line + barText(50, false, "100") + "\n");
}

TEST(ConsolePlain, AttributeIsSetOnlyWhenItChanges) {
    const probe::Result r = runPlain({"?count", "n:a", "?count", "e:b", "e:c", "?count", "n:d", "?count"});
    EXPECT_EQ(r.err, "count 0\ncount 0\ncount 1\ncount 2\n");
    EXPECT_EQ(r.out, "abcd");
}

// Commands, then the answer of the query that follows them.
struct QueryCase {
    std::vector<std::string> commands;
    const char* answer;
};

void expectAnswers(const std::vector<QueryCase>& cases, const std::string& query) {
    for (const auto& c : cases) {
        std::vector<std::string> commands = c.commands;
        commands.push_back(query);
        EXPECT_EQ(runPlain(commands).err, c.answer) << commands.front();
    }
}

TEST(ConsolePlain, AttributeChangesAcrossStreams) {
    expectAnswers(
        {
            {{"w:a", "w:b", "w:c"}, "count 1\n"},
            {{"e:a", "i:b", "i:c", "s:d", "n:e", "n:f", "w:g"}, "count 5\n"},
            // restoreConsole writes its line feed with attribute 7.
            {{"e:a", "restore"}, "count 2\n"},
            {{"n:a", "restore"}, "count 0\n"},
        },
        "?count");
}

TEST(ConsolePlain, CursorFollowsTheTextOfEveryWriter) {
    expectAnswers(
        {
            {{"o:ab\ncd"}, "pos 1 2\n"},
            {{"e:abc\n", "n:xy"}, "pos 1 2\n"},
            {{"o:" + std::string(85, 'x')}, "pos 1 5\n"},  // 80 columns when not on a terminal
            {{"o:\n\n\n", "goto:0,0"}, "pos 3 0\n"},       // no cursor moves on a pipe
            {{"n:abc\r", "bar:10"}, "pos 0 0\n"},
        },
        "?pos");
}

TEST(ConsolePlain, KeyPromptReturnsAtEndOfInput) {
    for (const probe::Input input : {probe::Input::devNull, probe::Input::closedPipe}) {
        probe::Setup setup;
        setup.input = input;
        const probe::Result r = runPlain({"key", "getkey", "n:after"}, setup);
        EXPECT_EQ(r.out, "Press any key to continue . . . \nafter");
        EXPECT_EQ(r.err, "key -1\n");
    }
}

TEST(ConsolePlain, ProgressBarObjectDrawsWhenTheFilledCellsChange) {
    struct Case {
        const char* name;
        std::vector<std::string> commands;
        std::string out;
    };
    const Case cases[] = {
        {"default total 100",
         {"update:0", "update:1", "update:2", "update:3", "update:100"},
         barText(1, true, "2") + barText(50, false, "100")},
        {"total 200", {"total:200", "update:3", "update:4"}, barText(1, true, "2")},
        {"above the total", {"total:10", "update:15"}, barText(50, false, "150")},
        {"large values", {"total:100000000", "update:50000000"}, barText(25, true, "50")},
        {"total 0 draws nothing", {"total:0", "update:5", "update:0"}, ""},
        {"finish draws nothing", {"update:50", "finish:1"}, barText(25, true, "50")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> commands = {"hex", "pb:10"};
        commands.insert(commands.end(), c.commands.begin(), c.commands.end());
        EXPECT_EQ(runPlain(commands).out, c.out);
    }
}

TEST(ConsolePlain, StreamsServeStaticInitialisersAndDestructors) {
    probe::Setup setup;
    setup.environment = {{"CONSOLE_PROBE_EARLY", "1"}};
    const probe::Result r = runPlain({"n:main\n"}, setup);
    EXPECT_EQ(r.out, "early\nmain\nlate\n");
}

}  // namespace

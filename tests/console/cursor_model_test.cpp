#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/terminal.h"

namespace {

using platform::CursorModel;

struct FollowCase {
    const char* name;
    std::string text;
    int columns;
    int row;
    int column;
    bool wrapPending;
};

TEST(CursorModel, FollowsText) {
    const FollowCase cases[] = {
        {"printable", "abc", 80, 0, 3, false},
        {"newline goes to column 0", "ab\ncd", 80, 1, 2, false},
        {"carriage return", "abc\rX", 80, 0, 1, false},
        {"backspace", "abc\b\b", 80, 0, 1, false},
        {"backspace at column 0", "\b", 80, 0, 0, false},
        {"tab from 0", "\t", 80, 0, 8, false},
        {"tab inside a stop", "abc\t", 80, 0, 8, false},
        {"tab on a stop", "12345678\t", 80, 0, 16, false},
        {"tab stops at the last column", "123456789\t", 10, 0, 9, false},
        {"last column leaves a wrap pending", "0123456789", 10, 0, 9, true},
        {"next character wraps", "0123456789X", 10, 1, 1, false},
        {"newline after a full row is one row", "0123456789\n", 10, 1, 0, false},
        {"carriage return cancels the wrap", "0123456789\r", 10, 0, 0, false},
        {"backspace cancels the wrap", "0123456789\b", 10, 0, 8, false},
        {"long line wraps twice", std::string(25, 'x'), 10, 2, 5, false},
        {"colour sequence takes no room", "\x1b[91mab\x1b[0m", 80, 0, 2, false},
        {"cursor sequence takes no room", "\x1b[12;3Hx", 80, 0, 1, false},
        {"two-byte escape",
         "\x1b"
         "7x",
         80, 0, 1, false},
        {"bell takes no room", "\a", 80, 0, 0, false},
        {"UTF-8 character is one column", "\xc3\xa9", 80, 0, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CursorModel model(c.columns, 24);
        model.follow(c.text.data(), c.text.size());
        EXPECT_EQ(model.row(), c.row);
        EXPECT_EQ(model.column(), c.column);
        EXPECT_EQ(model.wrapPending(), c.wrapPending);
    }
}

TEST(CursorModel, EscapeSplitAcrossWritesTakesNoRoom) {
    CursorModel model;
    for (const char* chunk : {"a\x1b", "[9", "1m", "b"}) {
        model.follow(chunk, std::char_traits<char>::length(chunk));
    }
    EXPECT_EQ(model.column(), 2);
}

TEST(CursorModel, RowsStopAtTheSixteenBitLimit) {
    CursorModel model;
    const std::string lines(40000, '\n');
    model.follow(lines.data(), lines.size());
    EXPECT_EQ(model.row(), CursorModel::kMaxRow);
    model.follow("ab", 2);
    EXPECT_EQ(model.row(), CursorModel::kMaxRow);
    EXPECT_EQ(model.column(), 2);
}

TEST(CursorModel, ResizeKeepsTheColumnOnScreen) {
    CursorModel model(80, 24);
    const std::string text(50, 'x');
    model.follow(text.data(), text.size());
    model.resize(20, 24);
    EXPECT_EQ(model.column(), 19);
    model.follow("\n", 1);
    const std::string next(21, 'y');
    model.follow(next.data(), next.size());
    EXPECT_EQ(model.row(), 2);
    EXPECT_EQ(model.column(), 1);
}

struct MoveCase {
    const char* name;
    std::string text;                         // written first
    std::vector<std::pair<int, int>> before;  // earlier moves (column, row)
    std::pair<int, int> target;
    std::string sequence;  // what the last move writes
    int row;
    int column;
    int lowestRow;
};

TEST(CursorModel, MovesBecomeRelativeSequences) {
    const std::string thirty(30, '\n');
    const MoveCase cases[] = {
        {"up and column", "\n\n\n\n\n\n", {}, {10, 1}, "\x1b[5A\x1b[11G", 1, 10, 6},
        {"where it is", "abc", {}, {3, 0}, "", 0, 3, 0},
        {"column only", "abc", {}, {0, 0}, "\x1b[1G", 0, 0, 0},
        {"down within the rows written", "\n\n\n", {{0, 0}}, {0, 2}, "\x1b[2B", 2, 0, 3},
        {"below the lowest row by newlines", "\n\n", {}, {4, 5}, "\n\n\n\x1b[5G", 5, 4, 5},
        {"newlines end in column 0", "\n\nab", {}, {0, 3}, "\n", 3, 0, 3},
        {"down, then newlines", "\n\n\n", {{0, 0}}, {2, 5}, "\x1b[3B\n\n\x1b[3G", 5, 2, 5},
        {"above the window is clamped", thirty, {}, {0, 0}, "\x1b[23A", 7, 0, 30},
        {"column past the last is clamped", "", {}, {200, 0}, "\x1b[80G", 0, 79, 0},
        {"negative row does nothing", "\n\nab", {}, {1, -3}, "", 2, 2, 2},
        {"negative column does nothing", "\n\nab", {}, {-1, 0}, "", 2, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CursorModel model(80, 24);
        model.follow(c.text.data(), c.text.size());
        for (const auto& [column, row] : c.before) {
            model.moveTo(column, row);
        }
        EXPECT_EQ(model.moveTo(c.target.first, c.target.second), c.sequence);
        EXPECT_EQ(model.row(), c.row);
        EXPECT_EQ(model.column(), c.column);
        EXPECT_EQ(model.lowestRow(), c.lowestRow);
    }
}

TEST(CursorModel, MoveClearsAPendingWrap) {
    CursorModel model(10, 24);
    model.follow("0123456789", 10);
    // The terminal's cursor sits in the last column with the wrap pending; the absolute column move
    // clears it, so the next character overwrites that column instead of wrapping.
    EXPECT_EQ(model.moveTo(9, 0), "\x1b[10G");
    model.follow("X", 1);
    EXPECT_EQ(model.row(), 0);
    EXPECT_EQ(model.column(), 9);
}

TEST(CursorModel, TextContinuesFromTheMovedPosition) {
    CursorModel model(80, 24);
    model.follow("\n\n\n\n", 4);
    model.moveTo(10, 1);
    model.follow("ab\n", 3);
    EXPECT_EQ(model.row(), 2);
    EXPECT_EQ(model.column(), 0);
    // Row 4 was written before, so the way down is a cursor move, not a newline.
    EXPECT_EQ(model.moveTo(0, 4), "\x1b[2B");
}

}  // namespace

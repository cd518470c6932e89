#pragma once
// The terminal under standard output. A tracking layer sits beneath std::cout: every byte written
// there goes straight to file descriptor 1 and moves a cursor model, so cursor queries never need
// to ask the terminal. On a colour terminal the layer also turns console text attributes, cursor
// moves and cursor visibility into escape sequences, and puts the terminal back at exit and on
// SIGINT/SIGTERM. Elsewhere it writes the text alone.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct CursorPosition {
    int column;
    int row;
};

struct TerminalSize {
    int columns;
    int rows;
};

// Where the text written so far has left the cursor of a terminal in cooked output mode: '\n' goes
// to column 0 of the next row, '\r' to column 0, '\b' one left, '\t' to the next multiple of 8,
// printable characters one right. A character written in the last column leaves the cursor there
// with a wrap pending, as terminals do; the next printable character wraps to the next row. Rows
// are counted from 0 and stop at kMaxRow, as a full console buffer keeps its cursor on the last
// line. Escape sequences in the text do not move the cursor.
class CursorModel {
  public:
    static constexpr int kMaxRow = 32767;

    explicit CursorModel(int columns = 80, int rows = 24);

    void resize(int columns, int rows);
    void follow(const char* text, std::size_t length);

    // Moves to (column, row) and returns what makes a terminal follow: CSI n A / CSI n B for rows up
    // to the lowest row reached so far, newlines below it, CSI n G for the column. A row above the
    // visible window (the last `rows` rows down to the lowest) is clamped to its top, a column past
    // the last to the last; a negative coordinate leaves everything as it is and returns nothing.
    std::string moveTo(int column, int row);

    int row() const { return row_; }
    int column() const { return column_; }
    int lowestRow() const { return lowestRow_; }
    bool wrapPending() const { return wrapPending_; }
    int columns() const { return columns_; }
    int rows() const { return rows_; }

  private:
    enum class Escape { none, started, controlSequence };

    void nextRow();

    int columns_;
    int rows_;
    int row_ = 0;
    int column_ = 0;
    int lowestRow_ = 0;
    bool wrapPending_ = false;
    Escape escape_ = Escape::none;
};

// Puts the tracking layer under std::cout. It runs by itself before every ordinary static
// initialiser of the program; further calls do nothing.
void installTerminal();

// True when escape sequences are written: standard output is a terminal, TERM is not "dumb" and
// NO_COLOR is unset or empty. Decided once, at installation.
bool terminalStyled();

// Sets the console text attribute (12, 11, 10, 14 and 7 become SGR 91, 96, 92, 93 and 0; other
// values map their foreground bits). Callers send only changes; every call is counted.
void setTextAttribute(uint16_t attribute);
// How many times setTextAttribute has been called in this process.
uint64_t textAttributeChanges();

void setCursorVisible(bool visible);
// Moves the cursor as CursorModel::moveTo does; does nothing unless terminalStyled().
void moveCursor(int column, int row);
CursorPosition cursorPosition();
// Width and height of the terminal (80 by 24 when standard output is not one).
TerminalSize terminalSize();

// Reads one byte from standard input; on a terminal without line editing and echo (signals stay
// on), its settings restored afterwards. Returns -1 at once at end of input or on an error.
int readKey();

}  // namespace platform

#include "console/console.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <map>
#include <string>

#include "platform/terminal.h"

namespace {

ConsoleHandle standardOutputHandle() {
    return ConsoleHandle::standardOutput;
}

ConsoleScreenBufferInfo readScreenBufferInfo(ConsoleHandle) {
    const platform::TerminalSize size = platform::terminalSize();
    const platform::CursorPosition cursor = platform::cursorPosition();
    return {{static_cast<int16_t>(std::min<int>(size.columns, INT16_MAX)),
             static_cast<int16_t>(std::min<int>(size.rows, INT16_MAX))},
            {static_cast<int16_t>(cursor.column), static_cast<int16_t>(cursor.row)},
            currentConsoleAttribute};
}

// a * b / c without 32-bit overflow, saturated to 32 bits.
uint32_t scaled(uint32_t a, uint32_t b, uint32_t c) {
    const uint64_t r = static_cast<uint64_t>(a) * b / c;
    return static_cast<uint32_t>(std::min<uint64_t>(r, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

uint16_t currentConsoleAttribute = 7;

console_streambuf::console_streambuf(uint16_t attribute)
    : attribute(attribute), consoleHandle(standardOutputHandle()) {
    platform::installTerminal();
}

console_streambuf::~console_streambuf() = default;

void console_streambuf::applyAttribute() {
    if (attribute != currentConsoleAttribute) {
        platform::setTextAttribute(attribute);
        currentConsoleAttribute = attribute;
    }
}

console_streambuf::int_type console_streambuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    applyAttribute();
    std::cout.put(traits_type::to_char_type(c));
    return c;
}

std::streamsize console_streambuf::xsputn(const char* s, std::streamsize n) {
    applyAttribute();
    std::cout.write(s, n);
    return n;
}

// Priority 102: after the terminal layer (101), ahead of every initialiser without a priority.
// Buffers and streams are built in this order and destroyed in the reverse one.
namespace {
console_streambuf errorBuffer __attribute__((init_priority(102))) (12);
console_streambuf infoBuffer __attribute__((init_priority(102))) (11);
console_streambuf successBuffer __attribute__((init_priority(102))) (10);
console_streambuf normalBuffer __attribute__((init_priority(102))) (7);
console_streambuf warningBuffer __attribute__((init_priority(102))) (14);
}  // namespace

std::ostream errorOut __attribute__((init_priority(102))) (&errorBuffer);
std::ostream infoOut __attribute__((init_priority(102))) (&infoBuffer);
std::ostream successOut __attribute__((init_priority(102))) (&successBuffer);
std::ostream normalOut __attribute__((init_priority(102))) (&normalBuffer);
std::ostream warningOut __attribute__((init_priority(102))) (&warningBuffer);

namespace {

// Where each row's last bar ended (the column after its " %"): the console knows only what it wrote
// there itself, not what went into a buffer normalOut was pointed at instead.
std::map<int, int>& barEnds() {
    static std::map<int, int> ends;
    return ends;
}

// "[", width cells ("=" below filled, ">" at filled, " " after), "] ", the percentage in decimal
// and " %\r" on normalOut, drawn from column of row. A bar drawn over a longer one on that row gets
// blanks before its "\r" up to the end of the longer one, so that no character of it stays behind.
void drawBar(int column, int row, uint32_t width, uint32_t filled, uint32_t percent) {
    std::string cells;
    cells.reserve(width + 2);
    cells += '[';
    for (uint32_t i = 0; i < width; ++i) {
        cells += i < filled ? '=' : i == filled ? '>' : ' ';
    }
    cells += "] ";
    const int end = column + static_cast<int>(cells.size() + std::to_string(percent).size() + 2);
    std::string clear;
    if (normalOut.rdbuf() == &normalBuffer) {
        const auto [last, added] = barEnds().try_emplace(row, end);
        if (!added && last->second > end) {
            clear.assign(static_cast<size_t>(last->second - end), ' ');
        }
        last->second = end;
    }
    normalOut << cells << std::dec << percent << " %" << clear << '\r';
}

}  // namespace

ConsoleHandle getConsoleHandle() {
    static const ConsoleHandle handle = standardOutputHandle();
    return handle;
}

int16_t getCursorRow() {
    return readScreenBufferInfo(getConsoleHandle()).cursorPosition.y;
}

void setCursorInfo(bool visible, uint32_t) {
    platform::setCursorVisible(visible);
}

void setCursorColumn(uint16_t x) {
    gotoXY(x, static_cast<uint16_t>(getCursorRow()));
}

void gotoXY(uint16_t x, uint16_t y) {
    platform::moveCursor(static_cast<int16_t>(x), static_cast<int16_t>(y));
}

void showProgressBar(uint32_t percent, bool done) {
    const int16_t row = getCursorRow();
    if (done) {
        // The message that follows gets a row of its own below the bar, or the text, on this one.
        if (platform::cursorPosition().column > 0) {
            gotoXY(0, static_cast<uint16_t>(row + 1));
        }
        return;
    }
    gotoXY(10, static_cast<uint16_t>(row));
    drawBar(10, row, 50, scaled(50, percent, 100), percent);
    gotoXY(10, static_cast<uint16_t>(row));
    normalOut.flush();
}

void waitForKeyPress() {
    normalOut << "Press any key to continue . . . " << std::endl;
    platform::readKey();
}

void restoreConsole() {
    normalOut.rdbuf()->sputc('\n');
    setCursorInfo(true, 20);
}

ProgressBar::ProgressBar(ConsoleHandle console) : console(console) {
    init(10);
}

void ProgressBar::init(uint32_t column) {
    width = 50;
    total = 100;
    filled = 0;
    screenInfo = readScreenBufferInfo(console);
    position = {static_cast<int16_t>(column), screenInfo.cursorPosition.y};
    done = false;
}

void ProgressBar::setTotal(uint32_t total) {
    this->total = total;
}

void ProgressBar::update(uint32_t value) {
    if (total == 0) {
        return;
    }
    gotoXY(static_cast<uint16_t>(position.x), static_cast<uint16_t>(position.y));
    const uint32_t newFilled = scaled(width, value, total);
    if (newFilled == filled) {
        return;
    }
    filled = newFilled;
    drawBar(position.x, position.y, width, filled, scaled(value, 100, total));
    gotoXY(static_cast<uint16_t>(position.x), static_cast<uint16_t>(position.y));
    normalOut.flush();
}

void ProgressBar::finish(bool done) {
    this->done = done;
    position.y = static_cast<int16_t>(position.y - 5);
    gotoXY(static_cast<uint16_t>(position.x), static_cast<uint16_t>(position.y));
}

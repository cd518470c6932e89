#pragma once
// Console output: five process-wide coloured streams, the cursor functions, the in-place progress
// bars and the closing key prompt. Everything is written into std::cout.

#include <cstdint>
#include <ostream>
#include <streambuf>

// The console output as the cursor and progress functions address it.
enum class ConsoleHandle : int { standardOutput = 1 };

struct ConsoleCoord {
    int16_t x;
    int16_t y;
};

struct ConsoleScreenBufferInfo {
    ConsoleCoord size;
    ConsoleCoord cursorPosition;
    uint16_t attributes;
};

// A stream buffer without a put area: each character and block is handed to std::cout at once,
// after the console has been switched to this buffer's attribute.
class console_streambuf : public std::basic_streambuf<char> {
  public:
    explicit console_streambuf(uint16_t attribute);
    ~console_streambuf() override;

    // Sets the console to this buffer's attribute unless it is the current one already.
    void applyAttribute();

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

  private:
    uint16_t attribute;
    ConsoleHandle consoleHandle;
};

// The attribute most recently set on the console by any console_streambuf.
extern uint16_t currentConsoleAttribute;

// Constructed before every ordinary static initialiser of the program and destroyed after every
// ordinary static destructor, so they may be used from those.
extern std::ostream errorOut;    // 12, light red
extern std::ostream infoOut;     // 11, light cyan
extern std::ostream successOut;  // 10, light green
extern std::ostream normalOut;   // 7, light grey
extern std::ostream warningOut;  // 14, yellow

ConsoleHandle getConsoleHandle();
int16_t getCursorRow();
// The size (cursor height) has no counterpart on a terminal and is ignored.
void setCursorInfo(bool visible, uint32_t size);
void setCursorColumn(uint16_t x);
// Coordinates are taken as signed 16-bit values; a negative one leaves the cursor where it is.
void gotoXY(uint16_t x, uint16_t y);
// done: nothing is drawn; a cursor right of column 0 goes to column 0 of the next row, so that the
// message after a closed bar starts on a row of its own.
void showProgressBar(uint32_t percent, bool done);
void waitForKeyPress();
void restoreConsole();

class ProgressBar {
  public:
    explicit ProgressBar(ConsoleHandle console);

    void init(uint32_t column);
    void setTotal(uint32_t total);
    // Does nothing while the total is 0.
    void update(uint32_t value);
    void finish(bool done);

  private:
    ConsoleHandle console;
    ConsoleScreenBufferInfo screenInfo{};
    ConsoleCoord position{};
    bool done = false;
    uint32_t width = 50;
    uint32_t total = 100;
    uint32_t filled = 0;
};

// Runs console operations named on the command line, in order. Text goes to the console; the
// answers of queries ("?...") go to standard error, one line each.
//
//   e:T i:T s:T n:T w:T   write T on errorOut, infoOut, successOut, normalOut, warningOut
//   o:T                   write T on std::cout
//   hex                   switch normalOut to hexadecimal
//   bar:P  done           showProgressBar(P, false), showProgressBar(0, true)
//   goto:X,Y  col:X       gotoXY, setCursorColumn
//   cursor:V              setCursorInfo(V, 20)
//   key  getkey           waitForKeyPress, platform::readKey (answers "key K")
//   restore               restoreConsole
//   pb:C total:T update:V finish:D    a ProgressBar built here, init(C), setTotal, update, finish
//   resize:C,R            set the terminal size of standard output
//   raise:INT  raise:TERM raise the signal
//   ?count                "count N", the attribute changes so far
//   ?pos                  "pos ROW COL", the row from getCursorRow
//   ?tty                  "tty canon=C echo=E isig=S", the settings of standard input

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "console/console.h"
#include "platform/terminal.h"

namespace {

uint32_t number(const std::string& s) {
    return static_cast<uint32_t>(std::stoul(s));
}

void run(const std::string& command, std::unique_ptr<ProgressBar>& bar) {
    const auto colon = command.find(':');
    const std::string name = command.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : command.substr(colon + 1);
    const auto comma = arg.find(',');
    const auto first = [&] { return number(arg.substr(0, comma)); };
    const auto second = [&] { return number(arg.substr(comma + 1)); };

    if (name == "e") {
        errorOut << arg;
    } else if (name == "i") {
        infoOut << arg;
    } else if (name == "s") {
        successOut << arg;
    } else if (name == "n") {
        normalOut << arg;
    } else if (name == "w") {
        warningOut << arg;
    } else if (name == "o") {
        std::cout << arg;
    } else if (name == "hex") {
        normalOut << std::hex;
    } else if (name == "bar") {
        showProgressBar(first(), false);
    } else if (name == "done") {
        showProgressBar(0, true);
    } else if (name == "goto") {
        gotoXY(static_cast<uint16_t>(first()), static_cast<uint16_t>(second()));
    } else if (name == "col") {
        setCursorColumn(static_cast<uint16_t>(first()));
    } else if (name == "cursor") {
        setCursorInfo(first() != 0, 20);
    } else if (name == "key") {
        waitForKeyPress();
    } else if (name == "getkey") {
        std::fprintf(stderr, "key %d\n", platform::readKey());
    } else if (name == "restore") {
        restoreConsole();
    } else if (name == "pb") {
        bar = std::make_unique<ProgressBar>(getConsoleHandle());
        bar->init(first());
    } else if (name == "total") {
        bar->setTotal(first());
    } else if (name == "update") {
        bar->update(first());
    } else if (name == "finish") {
        bar->finish(first() != 0);
    } else if (name == "resize") {
        winsize ws{};
        ws.ws_col = static_cast<unsigned short>(first());
        ws.ws_row = static_cast<unsigned short>(second());
        ioctl(STDOUT_FILENO, TIOCSWINSZ, &ws);
    } else if (name == "raise") {
        raise(arg == "INT" ? SIGINT : SIGTERM);
    } else if (name == "?count") {
        std::fprintf(stderr, "count %llu\n",
                     static_cast<unsigned long long>(platform::textAttributeChanges()));
    } else if (name == "?pos") {
        std::fprintf(stderr, "pos %d %d\n", getCursorRow(), platform::cursorPosition().column);
    } else if (name == "?tty") {
        termios t{};
        tcgetattr(STDIN_FILENO, &t);
        std::fprintf(stderr, "tty canon=%d echo=%d isig=%d\n", (t.c_lflag & ICANON) != 0,
                     (t.c_lflag & ECHO) != 0, (t.c_lflag & ISIG) != 0);
    } else {
        std::fprintf(stderr, "unknown command %s\n", command.c_str());
        std::exit(2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<ProgressBar> bar;
    for (int i = 1; i < argc; ++i) {
        run(argv[i], bar);
    }
    return 0;
}

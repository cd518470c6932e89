#pragma once
// The command line of the KES2 and DRO programs: short mixed-case option names, one table per program,
// the reader that fills the process-wide option map, the run values both programs read from it, and
// the status screen that lists the steps of a run.

#include <boost/program_options.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Options.h"
#include "platform/terminal.h"

// Every option name, spelled here only. help() is the declaration "help,h"; the map holds that
// option as "help" (helpKey()).
namespace OptionNames {
const std::string& b();
const std::string& Bmg();
const std::string& CmdFile();
const std::string& Com();
const std::string& Dferase();
const std::string& t();
const std::string& help();
const std::string& RxId();
const std::string& TxId();
const std::string& Jump();
const std::string& KeepCfg();
const std::string& KeepLastTa();
const std::string& KeepTa();
const std::string& nv();
const std::string& p();
const std::string& ram();
const std::string& rD();
const std::string& rP();
const std::string& reset();
const std::string& ECU();
const std::string& pktlen();
const std::string& vD();
const std::string& vP();
const std::string& wD();
const std::string& wP();
const std::string& Zip();
const std::string& helpKey();
}  // namespace OptionNames

enum class Kes2DroTable { kes2, dro };

// Add the program's table to the process-wide option description, parse the whole command line into
// the process-wide option map and print the help when asked for or when no option was given. Errors
// of the option library, and a value that is not a whole number of the base and width its option is
// read in (RxId, TxId, Com, p, b, Jump, pktlen), are printed on errorOut and leave the map empty;
// nothing is thrown.
void describeKes2Options(int argc, char* argv[]);
void describeDroOptions(int argc, char* argv[]);
// The same on the description and map given.
void readKes2DroOptions(Kes2DroTable table, int argc, char* argv[],
                        boost::program_options::options_description& description,
                        boost::program_options::variables_map& map);

// The run values of both programs, with their defaults until readRunValues overwrites them.
struct Kes2DroRunValues {
    uint16_t rxId = 0x643;
    uint16_t txId = 0x6F1;
    uint32_t port = 0;
    uint32_t baud = 500000;
    // The Vector CANcardXLe row of the interface table.
    uint32_t interfaceType = 6;
    uint64_t packetLength = 512;
    std::string ramFile;
};

// Reads RxId, TxId, p, b, Com and pktlen when present, in that order; the packet length is read into
// a number of PacketLength's width. The packet-length check is checkPacketLength's, made by the caller
// once every value of its program is read.
template <typename PacketLength>
void readRunValues(const boost::program_options::variables_map& map, Kes2DroRunValues& values) {
    if (map.count(OptionNames::RxId()) != 0) {
        values.rxId = readHexOption<uint16_t>(map, OptionNames::RxId());
    }
    if (map.count(OptionNames::TxId()) != 0) {
        values.txId = readHexOption<uint16_t>(map, OptionNames::TxId());
    }
    if (map.count(OptionNames::p()) != 0) {
        values.port = readDecOption<uint32_t>(map, OptionNames::p());
    }
    if (map.count(OptionNames::b()) != 0) {
        values.baud = readDecOption<uint32_t>(map, OptionNames::b());
    }
    if (map.count(OptionNames::Com()) != 0) {
        values.interfaceType = readDecOption<uint32_t>(map, OptionNames::Com());
    }
    if (map.count(OptionNames::pktlen()) != 0) {
        values.packetLength = readDecOption<PacketLength>(map, OptionNames::pktlen());
    }
}

// A packet length other than 256, 512, 1024 or 2048 becomes 512, with a notice on normalOut.
uint64_t checkPacketLength(uint64_t packetLength);

// "-- ", the build date and time and the version text, on normalOut.
void printVersionNote(const char* versionText);

// The steps of the status screen, in the order of their labels.
enum class ScreenStep {
    connecting,
    uploadApplRam,
    readCode,
    readData,
    dataFlashErase,
    flashCode,
    flashData,
    verifyCode,
    verifyData,
    reset,
};

// Where the output of each step goes on a terminal that takes cursor moves, so that the screen stays
// as showStepList drew it: the login's output and the ECU information after " Connecting :", the RAM
// routine's file name after " Upload ApplRam:" and its bar and CRC on the rows below, every other step
// from the row below its label (its bar at column 10, its messages under the bar). Output of no step
// (the command file) goes below the screen. When a step's output has run over the labels after it,
// or they have scrolled out of the window, those labels are drawn again below that output (the old
// ones blanked where nothing else was written) and the steps go on there. On a pipe or a terminal
// without escape sequences it moves nothing: the text then runs on as written.
class StepScreen {
  public:
    // Moves nothing.
    StepScreen() = default;

    // Puts the cursor where the step's output goes. A step without a label on the screen is placed
    // as output of no step.
    void enter(ScreenStep step);
    // Puts the cursor at column 0 below the screen and everything written so far.
    void enterFreeArea();
    // The same at the end of the run, for the lines that close it.
    void leave();

  private:
    friend StepScreen showStepList(const boost::program_options::variables_map& map);

    struct Label {
        ScreenStep step;
        const char* text;
        int lineBreaks;
        int row;
    };

    // The cursor as the output has left it; the rows it reached.
    void takeCursor();
    void moveTo(int column, int row);
    // The first row the output of the steps entered so far has not reached.
    int rowAfterStepOutput() const;
    int visibleTop() const;
    // Draws the labels from index `first` on again from row `row`, the old ones blanked.
    void redrawLabels(std::size_t first, int row);

    bool active_ = false;
    std::vector<Label> labels_;
    // The first label whose step has not been entered.
    std::size_t next_ = 0;
    // Where the output of the steps (not of the free area) stands.
    platform::CursorPosition stepOutputEnd_{0, 0};
    bool inStep_ = true;
    bool freeAreaUsed_ = false;
    // The lowest row reached, and the first row below everything written.
    int lowestRow_ = 0;
    int freeRow_ = 0;
};

// The status screen: target and type, one label per requested step with free lines for its
// progress, and the cursor put back above the first label, hidden. The result places each step's
// output on it.
StepScreen showStepList(const boost::program_options::variables_map& map);

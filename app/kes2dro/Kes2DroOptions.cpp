#include "app/kes2dro/Kes2DroOptions.h"

#include <algorithm>
#include <exception>
#include <ostream>
#include <vector>

#include "app/Options.h"
#include "console/console.h"
#include "platform/terminal.h"

namespace po = boost::program_options;

#define VOFLASH_OPTION_NAME(accessor, text)  \
    const std::string& accessor() {          \
        static const std::string name(text); \
        return name;                         \
    }

namespace OptionNames {
VOFLASH_OPTION_NAME(b, "b")
VOFLASH_OPTION_NAME(Bmg, "Bmg")
VOFLASH_OPTION_NAME(CmdFile, "CmdFile")
VOFLASH_OPTION_NAME(Com, "Com")
VOFLASH_OPTION_NAME(Dferase, "Dferase")
VOFLASH_OPTION_NAME(t, "t")
VOFLASH_OPTION_NAME(help, "help,h")
VOFLASH_OPTION_NAME(RxId, "RxId")
VOFLASH_OPTION_NAME(TxId, "TxId")
VOFLASH_OPTION_NAME(Jump, "Jump")
VOFLASH_OPTION_NAME(KeepCfg, "KeepCfg")
VOFLASH_OPTION_NAME(KeepLastTa, "KeepLastTa")
VOFLASH_OPTION_NAME(KeepTa, "KeepTa")
VOFLASH_OPTION_NAME(nv, "nv")
VOFLASH_OPTION_NAME(p, "p")
VOFLASH_OPTION_NAME(ram, "ram")
VOFLASH_OPTION_NAME(rD, "rD")
VOFLASH_OPTION_NAME(rP, "rP")
VOFLASH_OPTION_NAME(reset, "reset")
VOFLASH_OPTION_NAME(ECU, "ECU")
VOFLASH_OPTION_NAME(pktlen, "pktlen")
VOFLASH_OPTION_NAME(vD, "vD")
VOFLASH_OPTION_NAME(vP, "vP")
VOFLASH_OPTION_NAME(wD, "wD")
VOFLASH_OPTION_NAME(wP, "wP")
VOFLASH_OPTION_NAME(Zip, "Zip")
VOFLASH_OPTION_NAME(helpKey, help().substr(0, help().find(',')))
}  // namespace OptionNames

#undef VOFLASH_OPTION_NAME

namespace {

using namespace OptionNames;

struct OptionRow {
    const std::string& (*name)();
    bool takesValue;
    const char* helpText;
};

const std::string& ecuClassOption() {
    static const std::string name("ecuClass");
    return name;
}

// The KES2 table is the first 22 rows, the DRO table all of them; "ecuClass" follows either.
const std::vector<OptionRow>& optionRows() {
    static const std::vector<OptionRow> rows = {
        {help, true, "Get help for <arg>"},
        {ram, true, "RAM Routine"},
        {pktlen, true, "UDS-Packet length(256, 512, 1024, 2048)"},
        {ECU, true, "Target ECU"},
        {t, true, "ECU type (e.g. name of the chip derivative...)"},
        {RxId, true, "Rx CAN-ID"},
        {TxId, true, "Tx CAN-ID"},
        {Com, true, "XL(4), CANCase(5), CANXLe(6), CANVN1610(7), CANVN1630(8),CANVN1640(9),CANVN1611(10)..."},
        {p, true, "port"},
        {b, true, "baudrate"},
        {rD, true, "read Data"},
        {rP, true, "read Program"},
        {wP, true, "write Program"},
        {wD, true, "write Data"},
        {vP, true, "Verify Code"},
        {vD, true, "Verify Data"},
        {Dferase, false, "delete data flash area"},
        {nv, false, "Non verbose mode"},
        {reset, false, "Reset ecu"},
        {CmdFile, true, "Command File"},
        {Jump, true, "Jump Addr. (ApplRam)"},
        {Bmg, false, "Use at Your Own risk!!! Overwrite BMG"},
        {KeepTa, false, "Only if option --Bmg is used! Keep the traceability data"},
        {KeepLastTa, false, "Only if option --Bmg is used! Keep the last traceability block "},
        {KeepCfg, false, "Only if option --Bmg is used! Keep the EcuVar and Calib data"},
        {Zip, true, "Compression level (default:0-disabled)"},
        {ecuClassOption, true, "ECU class (KES2, DRO, CYT2, NXP, RH850)"},
    };
    return rows;
}

constexpr std::size_t kKes2Rows = 22;
constexpr std::size_t kDroRows = 26;

void addRow(po::options_description& description, const OptionRow& row) {
    if (row.name == help) {
        // --help alone asks for the help as --help with a value does.
        description.add_options()(row.name().c_str(), po::value<std::string>()->implicit_value(""),
                                  row.helpText);
    } else if (row.takesValue) {
        description.add_options()(row.name().c_str(), po::value<std::string>(), row.helpText);
    } else {
        description.add_options()(row.name().c_str(), row.helpText);
    }
}

struct StepLabel {
    ScreenStep step;
    const std::string& (*option)();
    const char* label;
    int lineBreaks;
};

const std::vector<StepLabel>& stepLabels() {
    static const std::vector<StepLabel> labels = {
        {ScreenStep::connecting, ram, " Connecting :", 1},
        {ScreenStep::uploadApplRam, ram, " Upload ApplRam:", 4},
        {ScreenStep::readCode, rP, " Read Code:", 3},
        {ScreenStep::readData, rD, " Read Data:", 3},
        {ScreenStep::dataFlashErase, Dferase, " DF erase:", 3},
        {ScreenStep::flashCode, wP, " Flash Code:", 3},
        {ScreenStep::flashData, wD, " Flash Data:", 3},
        {ScreenStep::verifyCode, vP, " Verify Code:", 3},
        {ScreenStep::verifyData, vD, " Verify Data:", 3},
        {ScreenStep::reset, reset, " Reset :", 3},
    };
    return labels;
}

// The login and the RAM routine's file name follow their labels on the same row; every other step
// starts on the row below its label, where its bar is drawn.
bool outputFollowsLabel(ScreenStep step) {
    return step == ScreenStep::connecting || step == ScreenStep::uploadApplRam;
}

// The options the programs read as numbers (the packet length in 64 bits for KES2); "ECU" is a text
// too and "Zip" has no effect, so neither is held to a number.
OptionValueRules valueRules(Kes2DroTable table) {
    using F = OptionValueForm;
    return {
        {RxId().c_str(), F::hex16},
        {TxId().c_str(), F::hex16},
        {Com().c_str(), F::dec32},
        {p().c_str(), F::dec32},
        {b().c_str(), F::dec32},
        {Jump().c_str(), F::hex64},
        {pktlen().c_str(), table == Kes2DroTable::kes2 ? F::dec64 : F::dec32},
    };
}

}  // namespace

void readKes2DroOptions(Kes2DroTable table, int argc, char* argv[], po::options_description& description,
                        po::variables_map& map) {
    try {
        const std::vector<OptionRow>& rows = optionRows();
        const std::size_t count = table == Kes2DroTable::kes2 ? kKes2Rows : kDroRows;
        for (std::size_t i = 0; i < count; ++i) {
            addRow(description, rows[i]);
        }
        addRow(description, rows.back());
        storeCommandLine(argc, argv, description, map, valueRules(table));
        if (map.count(helpKey()) != 0 || map.empty()) {
            normalOut << description << std::endl;
        }
    } catch (const std::exception& e) {
        errorOut << "error: " << e.what() << std::endl;
    } catch (...) {
        errorOut << "Exception of unknown type!" << std::endl;
    }
}

void describeKes2Options(int argc, char* argv[]) {
    readKes2DroOptions(Kes2DroTable::kes2, argc, argv, getOptionsDescription(), getVariablesMap());
}

void describeDroOptions(int argc, char* argv[]) {
    readKes2DroOptions(Kes2DroTable::dro, argc, argv, getOptionsDescription(), getVariablesMap());
}

uint64_t checkPacketLength(uint64_t packetLength) {
    if (packetLength == 256 || packetLength == 512 || packetLength == 1024 || packetLength == 2048) {
        return packetLength;
    }
    normalOut << "invalid pktlen: Default value will be used [512 bytes].";
    return 512;
}

void printVersionNote(const char* versionText) {
    normalOut << "-- " << __DATE__ << " " << __TIME__ << versionText << std::endl;
}

StepScreen showStepList(const po::variables_map& map) {
    if (map.count(ECU()) != 0) {
        normalOut << " Target: " << map[ECU()].as<std::string>() << std::endl;
    }
    if (map.count(t()) != 0) {
        normalOut << " Type: " << map[t()].as<std::string>() << std::endl;
    }
    normalOut << "\n\n\n";
    StepScreen screen;
    screen.active_ = platform::terminalStyled();
    const platform::CursorPosition firstLabel = platform::cursorPosition();
    for (const StepLabel& step : stepLabels()) {
        if (map.count(step.option()) == 0) {
            continue;
        }
        screen.labels_.push_back({step.step, step.label, step.lineBreaks, platform::cursorPosition().row});
        normalOut << step.label << std::string(static_cast<std::size_t>(step.lineBreaks), '\n');
    }
    normalOut.flush();
    screen.takeCursor();
    gotoXY(static_cast<uint16_t>(firstLabel.column), static_cast<uint16_t>(firstLabel.row - 1));
    setCursorInfo(false, 20);
    screen.stepOutputEnd_ = platform::cursorPosition();
    return screen;
}

void StepScreen::takeCursor() {
    const platform::CursorPosition cursor = platform::cursorPosition();
    lowestRow_ = std::max(lowestRow_, cursor.row);
    freeRow_ = std::max(freeRow_, cursor.row + (cursor.column > 0 ? 1 : 0));
    if (inStep_) {
        stepOutputEnd_ = cursor;
    }
}

void StepScreen::moveTo(int column, int row) {
    gotoXY(static_cast<uint16_t>(column), static_cast<uint16_t>(row));
    lowestRow_ = std::max(lowestRow_, row);
}

int StepScreen::rowAfterStepOutput() const {
    return stepOutputEnd_.row + (stepOutputEnd_.column > 0 ? 1 : 0);
}

int StepScreen::visibleTop() const {
    return lowestRow_ - platform::terminalSize().rows + 1;
}

void StepScreen::redrawLabels(std::size_t first, int row) {
    // Rows from the end of the steps' output on hold nothing but labels.
    const int untouched = std::max(rowAfterStepOutput(), visibleTop());
    for (std::size_t i = first; i < labels_.size(); ++i) {
        if (labels_[i].row >= untouched) {
            moveTo(0, labels_[i].row);
            normalOut << std::string(std::char_traits<char>::length(labels_[i].text), ' ');
        }
    }
    for (std::size_t i = first; i < labels_.size(); ++i) {
        labels_[i].row = row;
        moveTo(0, row);
        normalOut << labels_[i].text;
        row += labels_[i].lineBreaks;
    }
    freeRow_ = std::max(freeRow_, row);
    normalOut.flush();
}

void StepScreen::enter(ScreenStep step) {
    if (!active_) {
        return;
    }
    takeCursor();
    const auto label = std::find_if(labels_.begin() + static_cast<std::ptrdiff_t>(next_), labels_.end(),
                                    [step](const Label& l) { return l.step == step; });
    if (label == labels_.end()) {
        enterFreeArea();
        return;
    }
    if (label->row < rowAfterStepOutput() || label->row < visibleTop()) {
        const bool belowStepOutput = !freeAreaUsed_ && rowAfterStepOutput() >= visibleTop();
        redrawLabels(next_, belowStepOutput ? rowAfterStepOutput() : freeRow_);
    }
    next_ = static_cast<std::size_t>(label - labels_.begin()) + 1;
    inStep_ = true;
    if (outputFollowsLabel(step)) {
        moveTo(static_cast<int>(std::char_traits<char>::length(label->text)) + 1, label->row);
    } else {
        moveTo(0, label->row + 1);
    }
}

void StepScreen::enterFreeArea() {
    if (!active_) {
        return;
    }
    takeCursor();
    inStep_ = false;
    freeAreaUsed_ = true;
    moveTo(0, freeRow_);
}

void StepScreen::leave() {
    enterFreeArea();
}

#pragma once
// The command line of the KES2 and DRO programs: short mixed-case option names, one table per program,
// the reader that fills the process-wide option map, the run values both programs read from it, and
// the status screen that lists the steps of a run.

#include <boost/program_options.hpp>
#include <cstdint>
#include <string>

#include "app/Options.h"

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

// The status screen: target and type, one label per requested step with free lines for its
// progress, and the cursor put back above the first label, hidden.
void showStepList(const boost::program_options::variables_map& map);

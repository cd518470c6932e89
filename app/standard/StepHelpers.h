#pragma once
// The steps of the CYT2, NXP and RH850 flash programs: the connection, the target notice, the flash
// request and the login repeated within their time limits, the code and data-flash reads into files,
// the option-byte read and write, the code and data erases and the code and data writes from files.
// The routines read their options from the process-wide option map; the class picks the defaults of
// the options not given.

#include <cstdint>
#include <string>
#include <vector>

#include "app/Options.h"

class ComInterfaceSelector;
class FlashFile;
class VOCyt2Gen;
class VOEcuGenBase;
class VOKesGen;

enum class StandardEcuClass { Cyt2, Nxp, Rh850 };

// The option defaults of one class, where the steps differ.
struct StepDefaults {
    uint64_t dataStartAddr;
    // The address the data read counts from: NXP and RH850 address the data flash from its first
    // byte, so --dataStartAddr is read at its offset from there; CYT2 reads absolute addresses (0).
    uint64_t dataReadBase;
    uint64_t codeStartAddr;
    uint32_t codePageSize;
    // The --readCode length; the code write has none (0: all code blocks above the start).
    uint64_t codeReadLength;
    // 0: the data write needs --dataLength.
    uint64_t dataLength;
    uint32_t dataPageSize;
};

const StepDefaults& stepDefaults(StandardEcuClass ecuClass);

// The value rules of the class's options: those of every class, and the block numbers of --eraseCode
// (NXP, RH850) and the KiB of --eraseData (RH850), whose values CYT2 and NXP do not read.
const OptionValueRules& optionValueRules(StandardEcuClass ecuClass);

// Time limits of the repeated session requests.
inline constexpr uint32_t kLoginAttemptMs = 300;
inline constexpr uint32_t kLoginLimitMs = 30000;
inline constexpr uint32_t kFlashRequestAttemptMs = 100;
inline constexpr uint32_t kFlashRequestLimitMs = 5000;

// Builds the transport protocol for the selector's interface, attaches the ECU object to it and sets
// the identifiers. The protocol lives to the end of the process.
bool initEcuConnection(VOEcuGenBase& ecu, ComInterfaceSelector& selector, uint32_t busMode,
                       uint8_t frameAddress, uint16_t txId, uint16_t rxId);
// " Target: " and " Type:   " lines for --ecuInfo and --ecuType, an empty line, then hides the cursor.
void printTargetInfo();
// EcuFlashRequest with the --ecuFlashRequest key, repeated for up to 5 s.
bool sendEcuFlashRequest(VOEcuGenBase& ecu);
// Login, repeated for up to 30 s.
bool loginWithRetry(VOEcuGenBase& ecu);
// --readCode: the class's read of code flash into the --readCode file, saved only when the read
// succeeded.
bool readCodeStep(VOEcuGenBase& ecu, uint32_t pktlen, StandardEcuClass ecuClass);
// --readOpt: option byte 0 shown as "   0x" and its value, 0 when the read failed.
bool readOptionBytesStep(VOKesGen& ecu);
// --dataLength bytes of data flash from --dataStartAddr into the --readData file, saved only when the
// read succeeded.
bool readDataFlash(VOEcuGenBase& ecu, uint32_t pktlen, StandardEcuClass ecuClass);
// --eraseCode of CYT2: the blocks of the code range, from its first to its last byte, whatever the
// option's value (one line says it is not used). Without a range, the block of the start address
// alone; a value that names blocks (a number, or first,last) is then refused, since those blocks
// would not be the ones erased. A range outside the block map is refused.
bool eraseCodeCyt2(VOCyt2Gen& ecu);
// --eraseCode of NXP and RH850: "first,last" in decimal, two block numbers, the first not above the
// last, both blocks of one area of the class's code flash. Any other text erases nothing and fails
// the step with a line saying why: cut to 8 bits, a number above 255 would name another block.
bool eraseCodeBlocksStep(VOKesGen& ecu);
// The --writeCode file into code flash, all of it above --codeStartAddr, or the bytes of the
// --codeLength bytes from there, from every block in that range.
bool writeCodeFlash(VOEcuGenBase& ecu, FlashFile& file, uint32_t pktlen, StandardEcuClass ecuClass);
// --writeOpt: the option's value into option byte 0.
bool writeOptionBytesStep(VOKesGen& ecu);
// --eraseData: the data-flash erase units of the class (RH850: as many as --eraseData KiB make up).
bool eraseDataStep(VOKesGen& ecu, StandardEcuClass ecuClass);
// The bytes of the --writeData file from --dataStartAddr (which a file block must hold) up to
// --dataLength bytes on, from every block in that range.
bool writeDataFlash(VOEcuGenBase& ecu, FlashFile& file, uint32_t pktlen, StandardEcuClass ecuClass);

// Checks shared with the program's own steps. Each prints its refusal on errorOut.
// A range [start, start + length) must end at or below 2^32.
bool checkRangeBelow4G(const char* what, uint64_t start, uint64_t length);
// out as length zero bytes, the buffer of a read-back; false, with the refusal on errorOut and out
// left empty, when that much memory cannot be had.
bool allocateReadBuffer(const char* what, std::vector<uint8_t>& out, uint64_t length);

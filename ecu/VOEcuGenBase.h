#pragma once
// The bootloader client shared by every ECU class: the session services (login, flash request,
// reset, ECU information, download request), the attachment to the channel's transport protocol,
// the texts of negative response codes, and the abstract code, data and RAM services that the ECU
// classes implement.

#include <cstdint>
#include <string>
#include <vector>

#include "ecu/DevVO_ecuUDS_CAN.h"
#include "ecu/EcuLoginCode.h"

class Communication;
class Protocol;

// The reply dump of the console texts: each byte in upper-case hexadecimal with base prefix, field
// width 2 filled with '0', no separators (00 05 AB gives 000X50XAB).
std::string toHexString(const std::vector<uint8_t>& bytes);

// Once-per-run state of the login and the flash request: the connect notices, the dots printed since the
// last wipe, and the one error text the flash request prints in a run. Made at program start, never
// reset by the program, touched by the main thread only.
struct EcuConnectState {
    bool loginNoticeShown = false;
    uint32_t loginDotCount = 0;
    bool flashRequestErrorShown = false;
    bool flashRequestNoticeShown = false;
    uint32_t flashRequestDotCount = 0;
};
EcuConnectState& ecuConnectState();

// CRC-32, most significant bit first (polynomial 0x04C11DB7): the flash-request key.
uint32_t ecuCrc32Msb(const std::vector<uint8_t>& data, uint32_t init);
// Reflected CRC-32 with final inversion: the RAM image.
uint32_t ecuCrc32(const std::vector<uint8_t>& data, uint32_t init);

class VOEcuGenBase : public DevVO_ecuUDS_CAN {
  public:
    // Bytes of one read page.
    static constexpr uint32_t kReadPageSize = 256;
    // Image bytes per RAM download request when the caller passes 0.
    static constexpr uint64_t kDefaultChunkSize = 512;

    VOEcuGenBase(Communication* comm, uint8_t frameAddress);
    ~VOEcuGenBase() override;

    // Bootloader login: BA and the login code, answered FA.
    bool Login() override;

    // Operations added by this level, in their table order.
    virtual bool UploadApplRam(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                               uint64_t chunkSize) = 0;
    virtual bool SendCommand(const std::vector<uint8_t>& request) = 0;
    virtual bool FlashCode(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length,
                           bool erase, int* mode, uint32_t pages, uint32_t pageSize) const = 0;
    virtual bool FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int* mode,
                           uint32_t pages, uint32_t pageSize) = 0;
    virtual void ShowProgress(uint32_t percent, bool done) = 0;
    virtual bool StartApplRam(uint32_t address) = 0;
    virtual bool ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                          uint32_t pages) = 0;
    virtual bool ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                          uint32_t pages) = 0;
    // False without a request.
    virtual bool EraseDataBlocks(uint16_t firstBlock, uint16_t count);
    // False without a request.
    virtual bool EraseCodeBlocks(uint8_t firstBlock, uint8_t lastBlock);
    // 0.
    virtual uint8_t GetBlockNumber(uint64_t address);

    // BB and the CRC of the key, answered FB.
    bool EcuFlashRequest(uint64_t key);
    // BF 00 00 00 00 00, answered FF.
    bool EcuReset();
    // BB FF, answered FB with the information in bytes 2-5; info is written only on success.
    bool GetEcuInfo(uint32_t& info);
    // BB FE and the information, answered FB.
    bool SetEcuInfo(uint32_t info);
    // BD, the address and the data, answered FD.
    bool DownloadRequest(uint32_t address, const std::vector<uint8_t>& data);

    // Registers the transport protocol on the channel, selects it by its name and initialises the
    // device; the protocol is not owned. When the channel has a protocol of that name already, that
    // one is selected.
    bool useProtocol(Protocol* protocol);

    // The text of a negative response code; the empty string for a code without one.
    static std::string NrcToText(uint8_t code);

    // The most bytes one request may hold on the protocol in use: the message length of the Fiat
    // transport; 0 when the protocol sets no limit. A longer request could not be sent at all.
    uint64_t maxRequestLength() const;

  protected:
    // Where the console texts of the two families of ECU classes differ. The classes of the standard
    // programs (standard) begin a failed read's text on a new line, give the RAM download a heading
    // and its CRC, end the process on a failed upload and print in upper-case hexadecimal from then
    // on; the KES2/DRO class (kes2Dro) closes the progress bar before a failed read's text and puts
    // the CRC verdict alone between two line ends.
    enum class TextLayout { standard, kes2Dro };

    // One read in packets: BB 71 (code) or BB 81 (data), the packet address and pageByte; waitMs
    // before each request.
    struct PacketRead {
        bool dataFlash;
        uint8_t pageByte;
        uint32_t waitMs;
        TextLayout layout;
    };
    // Reads length bytes from address in packets of pages x kReadPageSize bytes into out from index
    // 0, with the progress bar. The caller has checked the arguments: length is a non-zero multiple of
    // the packet and out holds it.
    bool readInPackets(const PacketRead& read, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                       uint32_t pages);

    // UploadApplRam: image (clipped to length) in DownloadRequest chunks of chunkSize bytes (0:
    // kDefaultChunkSize), then BC with the address and the CRC range, whose answer is compared with
    // the image's CRC and reported. An image of fewer than 4 bytes is refused before any download.
    // The upload fails on a failed chunk, and on a CRC answer that is missing, too short or another
    // CRC than the image's: the routine did not arrive intact. A failed upload ends the process with
    // exit code 4 after its texts (standard), or gives false (kes2Dro; a failed chunk ends the
    // download, the CRC request is still sent).
    bool uploadRamImage(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                        uint64_t chunkSize, TextLayout layout);

    // Reply tests that never read past the reply's end.
    static bool startsWith(const std::vector<uint8_t>& reply, uint8_t first) {
        return !reply.empty() && reply.front() == first;
    }
    static bool isNegative(const std::vector<uint8_t>& reply) { return startsWith(reply, 0x7F); }

    // The request <serviceByte> followed by the login code (Login and the programming-session request).
    static std::vector<uint8_t> loginCodeRequest(uint8_t serviceByte);

    // errorOut for a reply that is not the expected one: the service NRC line for a negative reply of
    // at least 3 bytes, else "Negative Response or InvalidResponse: " or "Invalid Response: " and the bytes.
    static void printRejectedReply(const std::vector<uint8_t>& reply);
    // errorOut: prefix, reply byte 1 and " NRC: 0x", reply byte 2 in hexadecimal, " (", the code's
    // text, closing, line break. Prints nothing unless the reply holds at least 3 bytes.
    static void printServiceNrc(const char* prefix, const std::vector<uint8_t>& reply,
                                const char* closing = ")");
    // errorOut: " NRC(", the text of reply byte 2, ")". Prints nothing unless the reply holds at
    // least 3 bytes.
    static void printNrcText(const std::vector<uint8_t>& reply);
};

// Runs of voflash over the serial interfaces, full and half duplex, against a bootloader of the
// test's own on the other end of a pseudo-terminal pair: the standard program sends its requests as
// they are, the KES2 and DRO programs in the 8-byte frames of the Fiat transport. Each run logs in,
// uploads a RAM routine whose bytes must all arrive, checks its CRC and starts it, or reads code or
// data flash back into a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "tests/comm/pty_peer.h"
#include "tests/e2e/E2eSupport.h"

namespace {

using e2e::ByteMap;
using e2e::Bytes;
using e2e::crc32;
using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using testing_support::PtyPeer;

constexpr uint32_t kPort = 7;

uint32_t bigEndian32(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
           static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

// One read request as the bootloader got it.
struct ReadRequest {
    uint8_t sub;  // 0x71 code, 0x81 data
    uint32_t address;
    uint8_t pages;

    bool operator==(const ReadRequest&) const = default;
};

void PrintTo(const ReadRequest& r, std::ostream* os) {
    *os << "BB " << std::hex << int{r.sub} << " at 0x" << r.address << ", " << std::dec << int{r.pages}
        << " pages";
}

// What the flash holds: a byte of its own for every address, different in code and data flash.
uint8_t flashByte(uint8_t sub, uint64_t address) {
    return static_cast<uint8_t>(address * 31 + (address >> 8) * 7 + (address >> 16) + sub);
}

// The bootloader's services as the runs here use them: login, ECU information, the RAM download
// with its CRC query, the start of and the jump to the RAM routine, the code and data reads, and one
// raw command.
class Bootloader {
  public:
    Bytes serve(const Bytes& request) {
        std::lock_guard<std::mutex> guard(lock);
        services.push_back(request.empty() ? 0 : request[0]);
        if (request.size() == 7 && request[0] == 0xBB && (request[1] == 0x71 || request[1] == 0x81)) {
            const ReadRequest read{request[1], bigEndian32(request, 2), request[6]};
            reads.push_back(read);
            Bytes reply = {0xFB, read.sub};
            for (uint32_t i = 0; i < read.pages * 256u; ++i) {
                reply.push_back(flashByte(read.sub, uint64_t{read.address} + i));
            }
            return reply;
        }
        if (request.size() == 6 && request[0] == 0xBA) {
            return {0xFA};
        }
        if (request.size() == 6 && request[0] == 0xBB && request[1] == 0xFE) {
            ecuInfo = bigEndian32(request, 2);
            return {0xFB};
        }
        if (request.size() == 2 && request[0] == 0xBB && request[1] == 0xFF) {
            return {0xFB,
                    0x00,
                    static_cast<uint8_t>(ecuInfo >> 24),
                    static_cast<uint8_t>(ecuInfo >> 16),
                    static_cast<uint8_t>(ecuInfo >> 8),
                    static_cast<uint8_t>(ecuInfo)};
        }
        if (request.size() > 5 && request[0] == 0xBD) {
            const uint32_t address = bigEndian32(request, 1);
            for (size_t i = 5; i < request.size(); ++i) {
                ram[address + i - 5] = request[i];
            }
            return {0xFD};
        }
        if (request.size() == 9 && request[0] == 0xBC) {
            const uint32_t address = bigEndian32(request, 1);
            Bytes covered;
            for (uint32_t i = 0; i < bigEndian32(request, 5); ++i) {
                const auto found = ram.find(address + i);
                covered.push_back(found == ram.end() ? 0xFF : found->second);
            }
            const uint32_t crc = crc32(covered);
            return {0xFB, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                    static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
        }
        if (request.size() == 6 && (request[0] == 0xBE || request[0] == 0xBF) && request[1] == 0x01) {
            startedAt = bigEndian32(request, 2);
            return {0xFE};
        }
        if (request == Bytes{0x22, 0xF1, 0x90}) {
            return {0x62, 0xF1, 0x90, 'V', 'O', 'F', 'L', 'A', 'S', 'H', '-', 'S', 'N'};
        }
        return {0x7F, request.empty() ? uint8_t{0} : request[0], 0x11};
    }

    ByteMap ramContents() {
        std::lock_guard<std::mutex> guard(lock);
        return ram;
    }
    uint32_t startAddress() {
        std::lock_guard<std::mutex> guard(lock);
        return startedAt;
    }
    std::vector<uint8_t> serviceBytes() {
        std::lock_guard<std::mutex> guard(lock);
        return services;
    }
    std::vector<ReadRequest> readRequests() {
        std::lock_guard<std::mutex> guard(lock);
        return reads;
    }

  private:
    std::mutex lock;
    ByteMap ram;
    uint32_t ecuInfo = 0;
    uint32_t startedAt = 0;
    std::vector<uint8_t> services;
    std::vector<ReadRequest> reads;
};

// The ECU's side of the Fiat transport on a byte stream: 8-byte frames; a first frame from the tool
// gets one flow control that lets all consecutive frames come; a long answer goes out as a first
// frame and, after the tool's flow control, its consecutive frames.
class FiatTransport {
  public:
    explicit FiatTransport(Bootloader& ecu) : ecu(ecu) {}

    Bytes take(const Bytes& chunk) {
        pending.insert(pending.end(), chunk.begin(), chunk.end());
        Bytes out;
        while (pending.size() >= kFrame) {
            const Bytes frame(pending.begin(), pending.begin() + kFrame);
            pending.erase(pending.begin(), pending.begin() + kFrame);
            const Bytes sent = onFrame(frame);
            out.insert(out.end(), sent.begin(), sent.end());
        }
        return out;
    }

  private:
    static constexpr size_t kFrame = 8;
    static constexpr uint8_t kAddress = 0x43;

    Bytes onFrame(const Bytes& frame) {
        const uint8_t type = frame[1] >> 4;
        if (frame[1] == 0x30) {
            Bytes all;
            all.swap(consecutive);
            return all;
        }
        if (type == 0) {
            return answer(Bytes(frame.begin() + 2, frame.begin() + 2 + (frame[1] & 0x07)));
        }
        if (type == 1) {
            expected = static_cast<size_t>(frame[1] & 0x0F) << 8 | frame[2];
            message.assign(frame.begin() + 3, frame.end());
            return {kAddress, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        }
        if (type == 2 && message.size() < expected) {
            const size_t n = std::min<size_t>(6, expected - message.size());
            message.insert(message.end(), frame.begin() + 2,
                           frame.begin() + 2 + static_cast<std::ptrdiff_t>(n));
            return message.size() == expected ? answer(message) : Bytes{};
        }
        return {};
    }

    Bytes answer(const Bytes& request) {
        const Bytes reply = ecu.serve(request);
        if (reply.size() <= 6) {
            Bytes single = {kAddress, static_cast<uint8_t>(reply.size())};
            single.insert(single.end(), reply.begin(), reply.end());
            single.resize(kFrame, 0x00);
            return single;
        }
        Bytes first = {kAddress, static_cast<uint8_t>(0x10 | reply.size() >> 8),
                       static_cast<uint8_t>(reply.size())};
        first.insert(first.end(), reply.begin(), reply.begin() + 5);
        uint8_t sequence = 1;
        for (size_t at = 5; at < reply.size(); at += 6, ++sequence) {
            Bytes next = {kAddress, static_cast<uint8_t>(0x20 | (sequence & 0x0F))};
            next.insert(next.end(), reply.begin() + static_cast<std::ptrdiff_t>(at),
                        reply.begin() + static_cast<std::ptrdiff_t>(std::min(at + 6, reply.size())));
            next.resize(kFrame, 0x00);
            consecutive.insert(consecutive.end(), next.begin(), next.end());
        }
        return first;
    }

    Bootloader& ecu;
    Bytes pending;
    Bytes message;
    size_t expected = 0;
    Bytes consecutive;
};

// The RAM routine: count bytes from its start address.
struct RamRoutine {
    uint64_t address;
    Bytes bytes;

    ByteMap asMap() const {
        ByteMap map;
        for (size_t i = 0; i < bytes.size(); ++i) {
            map[address + i] = bytes[i];
        }
        return map;
    }
};

struct SerialRig {
    SerialRig() : peer(kPort) { env.setEnv("VOFLASH_COM" + std::to_string(kPort), peer.slavePath()); }

    std::string ramFile(const RamRoutine& routine) const {
        return env.write("ram.hex", e2e::intelHexText({{routine.address, routine.bytes}}));
    }

    E2eEnv env;
    PtyPeer peer;
    Bootloader ecu;
};

struct StandardCase {
    std::string label;
    std::string com;
    std::string interfaceName;
    std::string pktlen;
    size_t routineSize;
};

void PrintTo(const StandardCase& c, std::ostream* os) {
    *os << c.label;
}

class SerialStandardRun : public testing::TestWithParam<StandardCase> {};

// The requests go out as they are; the answer is what arrives until the line falls quiet.
TEST_P(SerialStandardRun, LogsInUploadsAndStartsTheRamRoutine) {
    const StandardCase& c = GetParam();
    SerialRig rig;
    const bool halfDuplex = c.com == "2";
    rig.peer.answerWith([&](const Bytes& request) { return rig.ecu.serve(request); }, {30, halfDuplex});
    const RamRoutine routine{0xFEDE0000, e2e::patternBytes(c.routineSize, 3)};

    const RunResult r = rig.env.runVoflash({"--ecuClass", "RH850", "--nonVerbose", "--com", c.com, "--port",
                                            std::to_string(kPort), "--baud", "115200", "--pktlen", c.pktlen,
                                            "--ram", rig.ramFile(routine), "--ecuInfo", "1A2B"});
    rig.peer.stop();

    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "  Interface: " + c.interfaceName + "\n  Port:      7\n")) << describe(r);
    EXPECT_TRUE(has(r, "ECU responding (OK)")) << describe(r);
    EXPECT_TRUE(has(r, "ActEcuInfo: 6699")) << describe(r);
    EXPECT_TRUE(has(r, "CRC check passed")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
    EXPECT_EQ(rig.ecu.ramContents(), routine.asMap());
    EXPECT_EQ(rig.ecu.startAddress(), routine.address);
}

INSTANTIATE_TEST_SUITE_P(Interfaces, SerialStandardRun,
                         testing::Values(StandardCase{"full_duplex", "1", "UART_FullDuplex", "256", 0x300},
                                         // Requests of 4100 bytes, each written back by the line and checked.
                                         StandardCase{"half_duplex_longest_packets", "2", "UART_HalfDuplex",
                                                      "4095", 6000}),
                         [](const auto& info) { return info.param.label; });

// A reply that does not answer its request (here that of a code read, to the option-byte read) is
// refused, and said so with its first bytes and the port, besides the step's own failure text; the
// request after it gets its own answer.
TEST(SerialStandardRun, AReplyThatDoesNotAnswerItsRequestIsSaidSo) {
    SerialRig rig;
    rig.peer.answerWith(
        [&](const Bytes& request) {
            return request == Bytes{0xBB, 0x92, 0x00} ? Bytes{0xFB, 0x71, 0x01, 0x02}
                                                      : rig.ecu.serve(request);
        },
        {30, false});
    const RunResult r =
        rig.env.runVoflash({"--ecuClass", "RH850", "--nonVerbose", "--com", "1", "--port",
                            std::to_string(kPort), "--baud", "115200", "--readOpt", "--ecuInfo", "1A2B"});
    rig.peer.stop();
    EXPECT_TRUE(has(r,
                    "Reply dropped, it does not answer the request (4 bytes): FB 71 01 02\n"
                    " Offending Communication: COM_SerPort 7\n"))
        << describe(r);
    EXPECT_TRUE(has(r, "NoResp(ReadOptionBytes)")) << describe(r);
    EXPECT_TRUE(has(r, "ActEcuInfo: 6699")) << describe(r);
}

struct ReadCase {
    std::string label;
    std::string ecuClass;
    std::string com;
    std::string pktlen;
    std::vector<std::string> step;
    uint8_t sub;
    uint64_t fileStart;  // the first address in the saved file
    uint32_t ecuStart;   // the first address the requests ask for
    uint64_t length;
    uint8_t pages;  // per request
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.label;
}

class SerialStandardRead : public testing::TestWithParam<ReadCase> {};

// A read packet is answered with FB, the sub-function and pages x 256 bytes; the read asks for that
// many bytes, all of them land in the file, each at its own address.
TEST_P(SerialStandardRead, EveryPacketArrivesWhole) {
    const ReadCase& c = GetParam();
    SerialRig rig;
    rig.peer.answerWith([&](const Bytes& request) { return rig.ecu.serve(request); }, {30, c.com == "2"});
    std::vector<std::string> args = {
        "--ecuClass",          c.ecuClass, "--nonVerbose", "--com",    c.com,   "--port",
        std::to_string(kPort), "--baud",   "115200",       "--pktlen", c.pktlen};
    args.insert(args.end(), c.step.begin(), c.step.end());
    args.push_back(rig.env.path("back.hex"));

    const RunResult r = rig.env.runVoflash(args);
    rig.peer.stop();

    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
    EXPECT_FALSE(has(r, "InvalidResp")) << describe(r);
    std::vector<ReadRequest> expected;
    for (uint64_t offset = 0; offset < c.length; offset += c.pages * 256u) {
        expected.push_back({c.sub, static_cast<uint32_t>(c.ecuStart + offset), c.pages});
    }
    EXPECT_EQ(rig.ecu.readRequests(), expected);
    ByteMap want;
    for (uint64_t i = 0; i < c.length; ++i) {
        want[c.fileStart + i] = flashByte(c.sub, c.ecuStart + i);
    }
    EXPECT_EQ(e2e::readImageFile(rig.env, "back.hex"), want);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialStandardRead,
    testing::Values(ReadCase{"rh850_code_full_duplex",
                             "RH850",
                             "1",
                             "512",
                             {"--codeStartAddr", "10000", "--codeLength", "1000", "--readCode"},
                             0x71,
                             0x10000,
                             0x10000,
                             0x1000,
                             2},
                    // 15 pages: an answer of 3842 bytes, beyond the 0xC00 a data read was once allowed.
                    ReadCase{"rh850_data_half_duplex_longest_packets",
                             "RH850",
                             "2",
                             "4095",
                             {"--dataLength", "F00", "--readData"},
                             0x81,
                             0xFF200000,
                             0,
                             0xF00,
                             15},
                    // 12 pages: two bytes more than 0xC00.
                    ReadCase{"nxp_data_twelve_pages",
                             "NXP",
                             "1",
                             "3072",
                             {"--dataStartAddr", "14000400", "--dataLength", "1800", "--readData"},
                             0x81,
                             0x14000400,
                             0x400,
                             0x1800,
                             12},
                    ReadCase{"nxp_code_longest_packets_half_duplex",
                             "NXP",
                             "2",
                             "4095",
                             {"--codeStartAddr", "10020000", "--codeLength", "1E00", "--readCode"},
                             0x71,
                             0x10020000,
                             0x10020000,
                             0x1E00,
                             15},
                    // The packet length counts bytes here; the wait before each request is 500 ms.
                    ReadCase{"cyt2_code",
                             "CYT2",
                             "1",
                             "512",
                             {"--codeStartAddr", "10008000", "--codeLength", "400", "--readCode"},
                             0x71,
                             0x10008000,
                             0x10008000,
                             0x400,
                             2}),
    [](const auto& info) { return info.param.label; });

struct Kes2DroCase {
    std::string label;
    std::string ecuClass;
    std::string com;
};

void PrintTo(const Kes2DroCase& c, std::ostream* os) {
    *os << c.label;
}

class SerialKes2DroRun : public testing::TestWithParam<Kes2DroCase> {};

TEST_P(SerialKes2DroRun, LogsInUploadsStartsAndSendsACommandInFiatFrames) {
    const Kes2DroCase& c = GetParam();
    SerialRig rig;
    FiatTransport transport(rig.ecu);
    rig.peer.answerWith([&](const Bytes& chunk) { return transport.take(chunk); }, {0, c.com == "2"});
    const RamRoutine routine{0x1000, e2e::patternBytes(0x500, 5)};
    const std::string commands = rig.env.write("cmd.txt", "Name:Serial\n22 F1 90\n\n");

    const RunResult r = rig.env.runVoflash(
        {"--ecuClass", c.ecuClass, "--Com", c.com, "--p", std::to_string(kPort), "--b", "115200", "--pktlen",
         "1024", "--ram", rig.ramFile(routine), "--ECU", "2a", "--CmdFile", commands});
    rig.peer.stop();

    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "ActEcuInfo: 42")) << describe(r);
    EXPECT_TRUE(has(r, "CRC check passed")) << describe(r);
    EXPECT_TRUE(has(r, "Cmd (Len: 3 dec): Serial")) << describe(r);
    // The 13-byte answer came in three frames; the stream is in upper-case hexadecimal since the CRC
    // line.
    EXPECT_TRUE(has(r, "Response: D bytes: 0X620XF10X900X560X4F0X460X4C0X410X530X480X2D0X530X4E\n"))
        << describe(r);
    EXPECT_EQ(rig.ecu.ramContents(), routine.asMap());
    EXPECT_EQ(rig.ecu.startAddress(), routine.address);
    EXPECT_EQ(rig.ecu.serviceBytes(), (std::vector<uint8_t>{0xBA, 0xBB, 0xBB, 0xBD, 0xBD, 0xBC, 0xBE, 0x22}));
}

INSTANTIATE_TEST_SUITE_P(Programs, SerialKes2DroRun,
                         testing::Values(Kes2DroCase{"kes2_full_duplex", "KES2", "1"},
                                         Kes2DroCase{"dro_half_duplex", "DRO", "2"}),
                         [](const auto& info) { return info.param.label; });

// A port that does not open ends the set-up: its report once, then the set-up failure, at once.
TEST(SerialSetUp, APortThatDoesNotOpenIsReportedOnceAndEndsWith2) {
    struct Case {
        std::string label;
        std::vector<std::string> args;
        std::string channelName;
    };
    const std::string port = std::to_string(kPort);
    const Case cases[] = {
        {"standard", {"--ecuClass", "RH850", "--nonVerbose", "--com", "1", "--port", port}, "COM_SerPort"},
        {"KES2",
         {"--ecuClass", "KES2", "--Com", "2", "--p", port, "--ram", "ram.hex"},
         "COM_SerPortHalfDuplex"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        E2eEnv env;
        env.setEnv("VOFLASH_COM" + port, env.path("no-such-port"));
        const RunResult r = env.runVoflash(c.args);
        EXPECT_EQ(r.exitCode, 2) << describe(r);
        const std::string report = "Could not open Communication: Error opening serial port " +
                                   env.path("no-such-port") +
                                   ": No such file or directory. Error number: 2\n"
                                   " Offending Communication: " +
                                   c.channelName + " " + port + "\n";
        const size_t first = r.out.find(report);
        EXPECT_NE(first, std::string::npos) << describe(r);
        EXPECT_EQ(r.out.find(report, first + 1), std::string::npos) << describe(r);
        EXPECT_TRUE(has(r, "Invalid parameters: ")) << describe(r);
        EXPECT_LT(r.seconds, 10) << describe(r);
    }
}

}  // namespace

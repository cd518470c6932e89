// The RH850 bootloader driven end to end by the tool's own channel, transport and VORh850Gen: login
// while the ECU powers up, flash request, erase, write, read back, RAM upload and start, ECU
// information, option bytes and reset.

#include <gtest/gtest.h>

#include "ecu/VORh850Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/sim/sim_fixture.h"

namespace simtest {
namespace {

using Rh850Test = SimTest<VORh850Gen>;

TEST_F(Rh850Test, LoginSucceedsOnceThePoweringUpEcuAnswers) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.faults.push_back({sim::FaultKind::kNoAnswer, {0xBA}, 0, 3});
    startWith(config);
    ecutest::StreamCapture out;
    EXPECT_TRUE(tool->loginWithRetry());
    EXPECT_EQ(simulator->requestCount(0xBA), 4u);
    EXPECT_TRUE(simulator->loggedIn());
    EXPECT_EQ(out.warning(), "Attempting to connect to the ECU...");
}

TEST_F(Rh850Test, WrongLoginCodeIsRefusedAndFlashServicesNeedTheLogin) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.loginCode = {1, 2, 3, 4, 5};
    startWith(config);
    ecutest::StreamCapture out;
    EXPECT_FALSE(ecu().Login());
    EXPECT_EQ(out.error(), "Srv: 0xba NRC: 0x35 (InvalidKEy)\n");
    EXPECT_FALSE(ecu().EraseCodeBlocks(8, 8));
    EXPECT_NE(out.error().find("EraseCode, Block: 0x8 (8)\n NRC(SecAccessDenied)"), std::string::npos)
        << out.error();
}

TEST_F(Rh850Test, FlashRequestChecksTheKeysCrc) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.flashKey = 0x1122334455667788ull;
    startWith(config);
    ecutest::StreamCapture out;
    EXPECT_FALSE(ecu().EcuFlashRequest(0x1122334455667789ull));
    EXPECT_EQ(out.error(), "Wrong flash request magic Key (KO)\n");
    EXPECT_TRUE(ecu().EcuFlashRequest(0x1122334455667788ull));
}

TEST_F(Rh850Test, CodeIsErasedWrittenAndReadBack) {
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    const Bytes data = pattern(0x800);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashCode(data, 0x10000, data.size(), true, nullptr, 2, 0x100)) << out.error();
    EXPECT_EQ(peek(sim::Space::kCode, 0x10000, 0x800), data);
    EXPECT_EQ(peek(sim::Space::kCode, 0x10800, 4), Bytes(4, 0xFF));

    Bytes back(data.size());
    ASSERT_TRUE(ecu().ReadCode(back, 0x10000, back.size(), nullptr, 2)) << out.error();
    EXPECT_EQ(back, data);
}

TEST_F(Rh850Test, WritingFlashThatIsNotErasedFails) {
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x10100, {0x00}));
    const Bytes data = pattern(0x200);
    ecutest::StreamCapture out;
    EXPECT_FALSE(ecu().FlashCode(data, 0x10000, data.size(), false, nullptr, 1, 0x100));
    EXPECT_NE(out.error().find("W_Code,Addr: 0x10100 NRC(GeneralProgrammingFailure)"), std::string::npos)
        << out.error();
    // The first page went in; the erase makes the block writable again.
    EXPECT_EQ(peek(sim::Space::kCode, 0x10000, 0x100), Bytes(data.begin(), data.begin() + 0x100));
    EXPECT_TRUE(ecu().EraseCodeBlocks(8, 8));
    EXPECT_TRUE(ecu().FlashCode(data, 0x10000, data.size(), false, nullptr, 1, 0x100)) << out.error();
}

TEST_F(Rh850Test, DataFlashIsWrittenAbsoluteAndReadFromZero) {
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    ASSERT_TRUE(simulator->poke(sim::Space::kData, 0x140, Bytes(0x40, 0x00)));
    const Bytes data = pattern(0x100, 0x40);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashData(data, 0xFF200100, data.size(), nullptr, 1, 0x100)) << out.error();
    EXPECT_EQ(peek(sim::Space::kData, 0x100, 0x100), data);
    Bytes back(0x200);
    ASSERT_TRUE(ecu().ReadData(back, 0, back.size(), nullptr, 2)) << out.error();
    EXPECT_EQ(Bytes(back.begin() + 0x100, back.end()), data);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 0x100), Bytes(0x100, 0xFF));
}

TEST_F(Rh850Test, RamApplicationUploadsWithItsCrcAndStarts) {
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    const Bytes image = pattern(1000, 0x5A);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().UploadApplRam(image, 0xFEDF8000, image.size(), 0));
    EXPECT_NE(out.normal().find("CRC check passed (0x"), std::string::npos) << out.normal() << out.error();
    EXPECT_EQ(peek(sim::Space::kRam, 0xFEDF8000, 1000), image);
    EXPECT_TRUE(ecu().StartApplRam(0xFEDF8000)) << out.error();
}

// The CRC answer (FC and the CRC, least significant byte first) carries another CRC than that of the
// bytes downloaded.
TEST_F(Rh850Test, WrongRamCrcAnswersAnotherCrc) {
    for (const bool wrong : {false, true}) {
        SCOPED_TRACE(wrong ? "--wrong-ram-crc" : "healthy");
        tool.reset();
        simulator.reset();
        sim::Config config = configFor(sim::EcuClass::kRh850);
        if (wrong) {
            config.faults.push_back({sim::FaultKind::kWrongRamCrc, {0xBC}, 0, 0});
        }
        startWith(config);
        ASSERT_TRUE(tool->loginWithRetry());
        const Bytes image = pattern(600);
        ecutest::StreamCapture out;
        ASSERT_TRUE(ecu().DownloadRequest(0xFEDF8000, image));
        const Bytes query = {0xBC, 0xFE, 0xDF, 0x80, 0x00, 0x00, 0x00, 0x02, 0x54};
        Bytes reply;
        ASSERT_TRUE(ecu().transfer(query, reply, 8, kReqId, kRespId));
        ASSERT_EQ(reply.size(), 5u);
        EXPECT_EQ(reply[0], 0xFC);
        const uint32_t received = static_cast<uint32_t>(reply[1]) | static_cast<uint32_t>(reply[2]) << 8 |
                                  static_cast<uint32_t>(reply[3]) << 16 |
                                  static_cast<uint32_t>(reply[4]) << 24;
        EXPECT_EQ(received == ecuCrc32(Bytes(image.begin(), image.begin() + 596), 0xFFFFFFFF), !wrong);
    }
}

TEST_F(Rh850Test, JumpIsAnsweredAndStartWithoutDownloadIsRefused) {
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    ecutest::StreamCapture out;
    EXPECT_TRUE(ecu().JumpApplRam(0xFEDF8000)) << out.error();
    EXPECT_FALSE(ecu().StartApplRam(0xFEDF8000));
    EXPECT_NE(out.error().find("Srv: 0xbe NRC: 0x22"), std::string::npos) << out.error();
}

TEST_F(Rh850Test, EcuInfoOptionBytesAndReset) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.ecuInfo = 0x12345678;
    config.optionBytes[0] = 0xCAFE0001;
    startWith(config);
    ASSERT_TRUE(tool->loginWithRetry());
    ecutest::StreamCapture out;
    uint32_t info = 0;
    ASSERT_TRUE(ecu().GetEcuInfo(info));
    EXPECT_EQ(info, 0x12345678u);
    ASSERT_TRUE(ecu().SetEcuInfo(0x0A0B0C0D));
    ASSERT_TRUE(ecu().GetEcuInfo(info));
    EXPECT_EQ(info, 0x0A0B0C0Du);

    uint32_t value = 0;
    ASSERT_TRUE(ecu().ReadOptionBytes(0, &value));
    EXPECT_EQ(value, 0xCAFE0001u);
    value = 0x00FF00FF;
    ASSERT_TRUE(ecu().WriteOptionBytes(0, &value));
    EXPECT_EQ(simulator->optionBytes(0), 0x00FF00FFu);

    EXPECT_TRUE(ecu().RequestDownload());
    EXPECT_TRUE(ecu().EcuReset());
    EXPECT_FALSE(simulator->loggedIn());
}

TEST_F(Rh850Test, UnknownServiceIsAnswered7F11) {
    startWith(configFor(sim::EcuClass::kRh850));
    ecutest::StreamCapture out;
    EXPECT_FALSE(ecu().SendCommand({0x22, 0xF1, 0x90}));
    EXPECT_EQ(out.error(), " Srv:0x22 NRC: 0x11 (SrvNotSupported)\n");
}

}  // namespace
}  // namespace simtest

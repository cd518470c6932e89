// The bootloader's replies to requests of the wrong length, outside the memory, of unknown services
// and of each class's own variants, without a bus.

#include <gtest/gtest.h>

#include "checksum/UtilChecksum.h"
#include "sim/Bootloader.h"
#include "tests/support/bytes.h"

namespace simtest {
namespace {

using sim::Bytes;
using testing_support::bytes;
using testing_support::hex;

struct ReplyCase {
    std::string request;
    std::string reply;  // the start of the reply
};

void expectReplies(sim::EcuClass c, const std::vector<ReplyCase>& cases) {
    sim::Config config;
    config.ecuClass = c;
    config.requireLogin = false;
    sim::Bootloader bootloader(config);
    for (const ReplyCase& rc : cases) {
        SCOPED_TRACE(rc.request);
        const Bytes reply = bootloader.handle(bytes(rc.request));
        const Bytes expected = bytes(rc.reply);
        ASSERT_GE(reply.size(), expected.size()) << hex(reply);
        EXPECT_EQ(hex(Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(expected.size()))),
                  hex(expected));
    }
}

TEST(Bootloader, MalformedAndOutOfRangeRequestsAreAnsweredNegatively) {
    expectReplies(sim::EcuClass::kRh850,
                  {
                      {"01", "7F 01 11"},
                      {"7F BA 35", "7F 7F 11"},
                      {"BA 01", "7F BA 13"},
                      {"BB", "7F BB 13"},
                      {"BB 55 00", "7F BB 12"},
                      {"BB FF 00", "7F BB 13"},
                      {"BB 72 86 86 00 00 00", "7F BB 31"},  // block 134: none
                      {"BB 72 05 04 00 00 00", "7F BB 31"},
                      {"BB 72 85 85 00 00", "7F BB 13"},           // five bytes would be the flash request
                      {"BB 70 00 3F FF FF 01 AA 55", "7F BB 31"},  // past the end
                      {"BB 70 00 00 00 00 01", "7F BB 13"},
                      {"BB 71 00 00 00 00 00", "7F BB 31"},  // no pages
                      {"BB 71 00 00 00 00 10", "7F BB 14"},  // 16 pages: too long
                      {"BB 71 00 3F FF 00 02", "7F BB 31"},
                      {"BB 71 FF FF FF FF 01", "7F BB 31"},
                      {"BB 81 00 01 00 00 01", "7F BB 31"},     // past the data flash
                      {"BB 80 FF 1F FF FF 01 00", "7F BB 31"},  // below it
                      {"BB 82 00 10 00 08 00", "7F BB 31"},     // end before first
                      {"BB 82 00 00 04 01 00", "7F BB 31"},     // 1025 units
                      {"BB 92 10", "7F BB 31"},
                      {"BB 91 00 01", "7F BB 13"},
                      {"BC 00 00 00 00 00 10 00 01", "7F BC 31"},  // more than the RAM
                      {"BC 00 00", "7F BC 13"},
                      {"BD 00 00 00", "7F BD 13"},
                      {"BD FF FF FF FF 01 02", "7F BD 31"},  // wraps past 2^32
                      {"BE 01 FE DF 80 00", "7F BE 22"},     // nothing downloaded
                      {"BE 02 FE DF 80 00", "7F BE 12"},
                      {"BF 02 00 00 00 00", "7F BF 12"},
                      {"BF 01", "7F BF 13"},
                      {"BF 01 FE DF 80 00", "FE 01"},
                      {"BF 00 00 00 00 00", "FF 00"},
                  });
}

TEST(Bootloader, ClassVariants) {
    // Option bytes and the programming session exist for the standard classes only.
    expectReplies(sim::EcuClass::kDro, {{"BB 92 00", "7F BB 12"},
                                        {"34 01 02 03 04 05", "7F 34 11"},
                                        {"BB 72 0C 0C 00 00 00", "7F BB 31"},  // one past the table
                                        {"BB 82 07 FF 00 01 00", "FB 82"},     // last unit, count 1
                                        {"BB 82 07 FF 00 02 00", "7F BB 31"}});
    expectReplies(sim::EcuClass::kNxp, {{"BB 92 00", "FB 92 FF FF FF FF"},
                                        {"BB 72 4D 4D 00 00 00", "FB 72"},  // block 77, the last
                                        {"BB 72 4E 4E 00 00 00", "7F BB 31"},
                                        {"BB 81 14 00 00 00 01", "7F BB 31"},  // data read is from 0
                                        {"BB 81 00 00 00 00 01", "FB 81 FF"}});
    expectReplies(sim::EcuClass::kCyt2, {{"BB 81 00 00 00 00 01", "7F BB 31"},  // absolute
                                         {"BB 80 14 00 00 00 01 5A", "FB 80"},
                                         {"BB 81 14 00 00 00 01", "FB 81 5A FF"}});
    expectReplies(sim::EcuClass::kKes2,
                  {{"BB 72 03 03 00 00 00", "FB 72"}, {"BB 72 04 04 00 00 00", "7F BB 31"}});
}

TEST(Bootloader, DataReadsOfTheSettingsPageCount) {
    sim::Config config;
    config.ecuClass = sim::EcuClass::kCyt2;
    config.requireLogin = false;
    config.dataReadPages = 3;
    sim::Bootloader bootloader(config);
    EXPECT_EQ(bootloader.handle(bytes("BB 81 14 00 00 00 00")).size(), 2u + 3 * 256);
    EXPECT_EQ(bootloader.handle(bytes("BB 81 14 00 00 00 01")).size(), 2u + 256);
}

TEST(Bootloader, LoginGuardsTheFlashAndRamServices) {
    sim::Config config;
    config.loginCode = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    sim::Bootloader bootloader(config);
    for (const char* request : {"BB 72 00 00 00 00 00", "BD 00 00 00 00 01", "BC 00 00 00 00 00 00 00 04",
                                "BE 01 00 00 00 00", "BF 01 00 00 00 00", "BB FF"}) {
        EXPECT_EQ(bootloader.handle(bytes(request)), (Bytes{0x7F, bytes(request)[0], 0x33})) << request;
    }
    EXPECT_EQ(bootloader.handle(bytes("BB 01 02 03 04")), (Bytes{0xFB, 0x00}));  // flash request
    EXPECT_EQ(bootloader.handle(bytes("BA A1 A2 A3 A4 A6")), (Bytes{0x7F, 0xBA, 0x35}));
    EXPECT_EQ(bootloader.handle(bytes("34 A1 A2 A3 A4 A5")), (Bytes{0x74, 0x00}));
    EXPECT_FALSE(bootloader.loggedIn());
    EXPECT_EQ(bootloader.handle(bytes("BA A1 A2 A3 A4 A5")), (Bytes{0xFA, 0x00}));
    EXPECT_EQ(bootloader.handle(bytes("BB 72 00 00 00 00 00")), (Bytes{0xFB, 0x72}));
    // The reset ends the session and loses the RAM.
    EXPECT_EQ(bootloader.handle(bytes("BD 00 00 10 00 01")), (Bytes{0xFD, 0x00}));
    EXPECT_EQ(bootloader.handle(bytes("BF 00 00 00 00 00")), (Bytes{0xFF, 0x00}));
    EXPECT_FALSE(bootloader.loggedIn());
    EXPECT_FALSE(bootloader.memory().ramUsed());
}

TEST(Bootloader, FlashRequestCrcIsOfTheKeyLeastSignificantByteFirst) {
    sim::Config config;
    config.flashKey = 0x0102030405060708ull;
    sim::Bootloader bootloader(config);
    const uint32_t crc = calcCrc32Msb({8, 7, 6, 5, 4, 3, 2, 1}, 0);
    const Bytes good{0xBB, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                     static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    EXPECT_EQ(bootloader.handle(good), (Bytes{0xFB, 0x00}));
    Bytes bad = good;
    bad[4] ^= 0x80;
    EXPECT_EQ(bootloader.handle(bad), Bytes{0x7E});
}

TEST(Bootloader, StartCanRequireTheCrcAfterTheCoveredRange) {
    sim::Config config;
    config.requireLogin = false;
    config.startChecksCrc = true;
    sim::Bootloader bootloader(config);
    Bytes image{0xBD, 0x20, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5, 6};
    const uint32_t crc = calcCrc32({1, 2, 3, 4, 5, 6}, 0xFFFFFFFFu);
    for (int shift = 0; shift < 32; shift += 8) {
        image.push_back(static_cast<uint8_t>(crc >> shift));
    }
    ASSERT_EQ(bootloader.handle(image), (Bytes{0xFD, 0x00}));
    EXPECT_EQ(bootloader.handle(bytes("BE 01 20 00 00 00")), (Bytes{0x7F, 0xBE, 0x22}));  // no CRC query yet
    const Bytes reply = bootloader.handle(bytes("BC 20 00 00 00 00 00 00 06"));
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(reply[1] | reply[2] << 8 | reply[3] << 16 | uint32_t{reply[4]} << 24, crc);
    EXPECT_EQ(bootloader.handle(bytes("BE 01 20 00 00 00")), (Bytes{0xFE, 0x01}));
    ASSERT_EQ(bootloader.handle(bytes("BD 20 00 00 00 09")), (Bytes{0xFD, 0x00}));  // image changed
    EXPECT_EQ(bootloader.handle(bytes("BE 01 20 00 00 00")), (Bytes{0x7F, 0xBE, 0x22}));
}

}  // namespace
}  // namespace simtest

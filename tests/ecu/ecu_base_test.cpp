// The two lowest ECU levels, the attachment to the transport protocol, the negative-response texts
// and the reply dump.

#include <gtest/gtest.h>

#include "comm/ProtocolSingleFrame.h"
#include "ecu/DevVO_ecu.h"
#include "ecu/DevVO_ecuUDS_CAN.h"
#include "ecu/VOKesGen.h"
#include "tests/ecu/EcuTestSupport.h"

namespace ecutest {
namespace {

using testing_support::ChannelCall;
using testing_support::ScriptedChannel;

// CRC-8, polynomial 0x07 processed reflected, bit by bit.
uint8_t referenceCrc8Reflected(const Bytes& data) {
    uint8_t crc = 0;
    for (const uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0xE0) : static_cast<uint8_t>(crc >> 1);
        }
    }
    return crc;
}

TEST(EcuConstruction, NewObjectHoldsDefaultsAndSendsNothing) {
    ScriptedChannel channel;
    VOKesGen ecu(&channel, 0x43);
    EXPECT_EQ(ecu.getTxCanId(), 0u);
    EXPECT_EQ(ecu.getRxCanId(), 0u);
    EXPECT_EQ(ecu.progSessionId(), 0x63);
    EXPECT_EQ(ecu.getFrameAddress(), 0x43u);
    EXPECT_EQ(ecu.getMemorySizeLength(), 2);
    EXPECT_EQ(ecu.getMemoryAddressLength(), 4);
    EXPECT_EQ(ecu.getId(), 0u);
    EXPECT_EQ(ecu.name(), "DevVO_ecuUDS_CAN");
    EXPECT_TRUE(channel.calls().empty());
    EXPECT_TRUE(ecu.setCanIds(0x7E0, 0x7E8));
    EXPECT_EQ(ecu.getTxCanId(), 0x7E0u);
    EXPECT_EQ(ecu.getRxCanId(), 0x7E8u);
}

TEST(EcuConstruction, BaseVersionsOfTheFlashSlotsRefuseWithoutRequest) {
    Rig<VOKesGen> rig;
    ASSERT_TRUE(rig.attached);
    VOEcuGenBase& base = rig.ecu;
    EXPECT_FALSE(base.VOEcuGenBase::EraseDataBlocks(0, 1));
    EXPECT_FALSE(base.VOEcuGenBase::EraseCodeBlocks(0, 1));
    EXPECT_EQ(base.VOEcuGenBase::GetBlockNumber(0x20000), 0);
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(UseProtocol, RegistersSelectsAndOpensWithoutSending) {
    ScriptedChannel channel;
    ScriptedEcu bus;
    VOKesGen ecu(&channel, 0x43);
    EXPECT_TRUE(ecu.useProtocol(&bus));
    EXPECT_EQ(channel.getCurrentProtocol(), &bus);
    EXPECT_EQ(channel.callCount(ChannelCall::Kind::Open), 1u);
    EXPECT_TRUE(bus.exchanges().empty());
}

TEST(UseProtocol, ANameTakenAlreadySelectsTheRegisteredProtocolAndOpens) {
    ScriptedChannel channel;
    ScriptedEcu first;
    ScriptedEcu second;
    VOKesGen ecu(&channel, 0x43);
    ASSERT_TRUE(channel.registerProtocol(&first));
    EXPECT_TRUE(ecu.useProtocol(&second));
    EXPECT_EQ(channel.getCurrentProtocol(), &first);
    EXPECT_EQ(channel.callCount(ChannelCall::Kind::Open), 1u);

    // The serial interfaces' protocol: the channel's own single-frame protocol is used.
    ScriptedChannel serial;
    ProtocolSingleFrame singleFrame;
    VOKesGen onSerial(&serial, 0x43);
    EXPECT_TRUE(onSerial.useProtocol(&singleFrame));
    EXPECT_EQ(serial.getCurrentProtocol(), &Communication::defaultSingleFrameProtocol());
}

// A protocol whose name changes after its registration, so that the selection by name fails.
class RenamingProtocol : public ScriptedEcu {
  public:
    const std::string& name() const override {
        static const std::string names[] = {"PROTOCOL_Registered", "PROTOCOL_Elsewhere"};
        return names[calls++ == 0 ? 0 : 1];
    }

  private:
    mutable int calls = 0;
};

TEST(UseProtocol, FailsWhenTheNameCannotBeSelected) {
    ScriptedChannel channel;
    RenamingProtocol bus;
    VOKesGen ecu(&channel, 0x43);
    EXPECT_FALSE(ecu.useProtocol(&bus));
    EXPECT_EQ(channel.callCount(ChannelCall::Kind::Open), 0u);
}

TEST(UseProtocol, FailsWhenTheChannelDoesNotOpenOrNoProtocolIsGiven) {
    ScriptedChannel channel;
    channel.setOpenResult(false);
    ScriptedEcu bus;
    VOKesGen ecu(&channel, 0x43);
    EXPECT_FALSE(ecu.useProtocol(nullptr));
    EXPECT_FALSE(ecu.useProtocol(&bus));
}

TEST(NrcToText, EveryCodeOfTheTableAndNoneOutsideIt) {
    const std::pair<uint8_t, const char*> table[] = {
        {0x10, "General Reject"},
        {0x11, "SrvNotSupported"},
        {0x12, "SubFuncNotSupported"},
        {0x13, "IncorrectMsgLen/InvalidFormat"},
        {0x14, "ResponseTooLong"},
        {0x21, "BusyRepeatReq"},
        {0x22, "ConditiosNotCorrect"},
        {0x24, "Req.SequenceErr"},
        {0x25, "No Resp.FromSubNetComp"},
        {0x26, "FailurePrevents Exec"},
        {0x31, "RequestOutOfRange"},
        {0x33, "SecAccessDenied"},
        {0x35, "InvalidKEy"},
        {0x36, "ExceedNumberOfAttempts"},
        {0x37, "RequiredTimeDelayNotExpired"},
        {0x70, "UploadDownloadNotAccepted"},
        {0x71, "TransferDataSuspended"},
        {0x72, "GeneralProgrammingFailure"},
        {0x73, "WrongBlockSeq.Counter"},
        {0x78, "ResponsePending"},
        {0x7E, "SubFuncNotSupp.InActvSession"},
        {0x7F, "SrvNotSupp.InActiveSession"},
    };
    int named = 0;
    for (int code = 0; code < 256; ++code) {
        const std::string text = VOEcuGenBase::NrcToText(static_cast<uint8_t>(code));
        std::string expected;
        for (const auto& [c, t] : table) {
            if (c == code) {
                expected = t;
            }
        }
        EXPECT_EQ(text, expected) << "code " << code;
        named += text.empty() ? 0 : 1;
    }
    EXPECT_EQ(named, 22);
}

TEST(ToHexString, ZeroWithoutPrefixOthersWithUpperCasePrefix) {
    const std::pair<Bytes, std::string> cases[] = {
        {{}, ""},
        {{0x00, 0x05, 0xAB}, "000X50XAB"},
        {{0x7F, 0xBA, 0x00}, "0X7F0XBA00"},
        {{0x10, 0xFF, 0x01}, "0X100XFF0X1"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(toHexString(bytes), text) << hex(bytes);
    }
}

// DevVO_ecu reaches its ECU with the device's own identifiers and logs in when it is initialised.
struct PlainEcuRig {
    PlainEcuRig() : ecu(&channel, 5) {
        ecu.addProtocol(&bus);
        ecu.selectProtocol(bus.name());
    }
    ScriptedChannel channel;
    ScriptedEcu bus;
    DevVO_ecu ecu;
};

TEST(DevVOEcu, LoginAtInitialisationNeedsReply50) {
    const std::pair<Answer, bool> cases[] = {
        {Answer::reply({0x50, 0xFE}), true},
        {Answer::reply({0x50}), true},
        {Answer::negative(0x10, 0x12), false},
        {Answer::reply({0x51}), false},
        {Answer::empty(), false},
        {Answer::none(), false},
    };
    for (const auto& [answer, valid] : cases) {
        PlainEcuRig rig;
        rig.bus.expect({0x10, 0xFE}, answer);
        EXPECT_EQ(rig.ecu.ensureInit(), valid) << hex(answer.bytes);
        ASSERT_EQ(rig.bus.exchanges().size(), 1u);
        EXPECT_EQ(rig.bus.exchanges()[0].answerLength, 0x10000u);
        EXPECT_EQ(rig.bus.exchanges()[0].txId, 5u);
    }
}

TEST(DevVOEcu, LogoutTrustsAnyAnswerAndBaseSlotsRefuse) {
    PlainEcuRig rig;
    rig.bus.expect({0x10, 0xFE}, Answer::reply({0x50}));
    ASSERT_TRUE(rig.ecu.ensureInit());
    rig.bus.expect({0x10, 0x81}, Answer::negative(0x10, 0x22));
    EXPECT_TRUE(rig.ecu.Logout());
    rig.bus.expect({0x10, 0x81}, Answer::none());
    EXPECT_FALSE(rig.ecu.release());
    EXPECT_EQ(rig.ecu.name(), "DEV_VO_ecu");
    EXPECT_FALSE(rig.ecu.setCanIds(1, 2));
    EXPECT_FALSE(rig.ecu.setProgSessionId(2));
    EXPECT_FALSE(rig.ecu.setSizeAndAddressLength(2, 4));
    Bytes out;
    EXPECT_FALSE(rig.ecu.ReadMemoryByAddress({1, 2, 3, 4}, 1, out));
    EXPECT_FALSE(rig.ecu.WriteMemoryByAddress({1, 2, 3, 4}, {1}));
    EXPECT_TRUE(rig.bus.done());
}

TEST(DevVOEcuUdsCan, SessionLogin) {
    struct Case {
        std::vector<Answer> answers;
        std::vector<Bytes> requests;
        bool result;
        // Receives without a request: waits for the late answer of 10 01, whose positive answer 50
        // could be taken for that of 10 63, before 10 63 goes out.
        size_t lateWaits = 0;
        std::vector<Answer> late = {};
    };
    const Bytes def = {0x10, 0x01};
    const Bytes prog = {0x10, 0x63};
    const Case cases[] = {
        {{Answer::reply({0x50, 0x01}), Answer::reply({0x50, 0x63})}, {def, prog}, true},
        {{Answer::empty(), Answer::reply({0x50, 0x01}), Answer::reply({0x50, 0x63})}, {def, def, prog}, true},
        {{Answer::empty(), Answer::empty(), Answer::reply({0x50})}, {def, def, prog}, true},
        // A reply of another service answers neither request.
        {{Answer::empty(), Answer::empty(), Answer::reply({0x12})}, {def, def, prog}, false},
        {{Answer::none(), Answer::none(), Answer::reply({0x50, 0x63})}, {def, def, prog}, true, 1},
        // The late answer of 10 01 comes and is dropped; 10 63 gets its own.
        {{Answer::none(), Answer::none(), Answer::negative(0x10, 0x22)},
         {def, def, prog},
         false,
         1,
         {Answer::reply({0x50, 0x01})}},
        {{Answer::reply({0x50}), Answer::negative(0x10, 0x22)}, {def, prog}, false},
        {{Answer::reply({0x50}), Answer::empty()}, {def, prog}, false},
        {{Answer::reply({0x50}), Answer::none()}, {def, prog}, false},
    };
    for (const Case& c : cases) {
        Rig<DevVO_ecuUDS_CAN> rig;
        ASSERT_TRUE(rig.attached);
        for (size_t i = 0; i < c.answers.size(); ++i) {
            rig.bus.expect(c.requests[i], c.answers[i]);
        }
        for (const Answer& a : c.late) {
            rig.bus.lateAnswer(a);
        }
        EXPECT_EQ(rig.ecu.Login(), c.result);
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(rig.bus.unrequestedReceives(), c.lateWaits);
        // The login's own discard, then the one before each request.
        EXPECT_EQ(rig.channel.callCount(ChannelCall::Kind::Flush), 1u + c.requests.size());
        for (const Exchange& e : rig.bus.exchanges()) {
            EXPECT_EQ(e.answerLength, 8u);
            EXPECT_EQ(e.txId, kTxId);
            EXPECT_EQ(e.rxId, kRxId);
        }
    }
}

TEST(DevVOEcuUdsCan, ProgrammingSessionByteIsSettable) {
    Rig<DevVO_ecuUDS_CAN> rig;
    EXPECT_TRUE(rig.ecu.setProgSessionId(0x02));
    rig.bus.expect({0x10, 0x01}, Answer::reply({0x50})).expect({0x10, 0x02}, Answer::reply({0x50, 0x02}));
    EXPECT_TRUE(rig.ecu.Login());
    EXPECT_TRUE(rig.bus.done());
}

TEST(DevVOEcuUdsCan, LogoutNeedsReply50) {
    const std::pair<Answer, bool> cases[] = {
        {Answer::reply({0x50, 0x01}), true},
        {Answer::reply({0x51}), false},
        {Answer::negative(0x10, 0x11), false},
        {Answer::empty(), false},
        {Answer::none(), false},
    };
    for (const auto& [answer, result] : cases) {
        Rig<DevVO_ecuUDS_CAN> rig;
        rig.bus.expect({0x10, 0x01}, answer);
        EXPECT_EQ(rig.ecu.Logout(), result) << hex(answer.bytes);
    }
}

TEST(DevVOEcuUdsCan, SizeBytesDropHighZeroBytesOnly) {
    const std::pair<uint32_t, Bytes> cases[] = {
        {0, {0x00}},
        {0x12, {0x12}},
        {0x1234, {0x34, 0x12}},
        {0x010000, {0x00, 0x00, 0x01}},
        {0x01000000, {0x00, 0x00, 0x00, 0x01}},
        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
    };
    for (const auto& [value, bytes] : cases) {
        EXPECT_EQ(DevVO_ecuUDS_CAN::sizeToBytes(value), bytes) << value;
    }
    EXPECT_EQ(DevVO_ecuUDS_CAN::addressAndLengthFormat({1, 2, 3, 4}, {1, 2}), 0x24);
    EXPECT_EQ(DevVO_ecuUDS_CAN::withSuppressBit(0x01, false), 0x01);
    EXPECT_EQ(DevVO_ecuUDS_CAN::withSuppressBit(0x01, true), 0x81);
}

TEST(DevVOEcuUdsCan, SizeAndAddressLengthsAreStoredOneByOne) {
    struct Case {
        uint8_t size, address;
        bool result;
        uint8_t storedSize, storedAddress;
    };
    const Case cases[] = {
        {5, 4, false, 2, 4}, {2, 0, false, 2, 4}, {0, 4, true, 0, 4},
        {4, 1, true, 4, 1},  {1, 5, false, 1, 4}, {9, 9, false, 2, 4},
    };
    for (const Case& c : cases) {
        Rig<DevVO_ecuUDS_CAN> rig;
        EXPECT_EQ(rig.ecu.setSizeAndAddressLength(c.size, c.address), c.result);
        EXPECT_EQ(rig.ecu.getMemorySizeLength(), c.storedSize);
        EXPECT_EQ(rig.ecu.getMemoryAddressLength(), c.storedAddress);
    }
}

TEST(DevVOEcuUdsCan, ReadMemoryByAddress) {
    struct Case {
        Bytes address;
        uint32_t size;
        Bytes request;
        Answer answer;
        bool result;
        Bytes out;
    };
    const Case cases[] = {
        {{0x12, 0x34, 0x56, 0x78},
         0x100,
         {0x23, 0x24, 0x12, 0x34, 0x56, 0x78, 0x00, 0x01},
         Answer::reply({0x63, 0xAA, 0xBB}),
         true,
         {0xAA, 0xBB}},
        {{0x12, 0x34, 0x56},
         0x10,
         {0x23, 0x24, 0x12, 0x34, 0x56, 0x00, 0x10, 0x00},
         Answer::reply({0x63}),
         true,
         {}},
        {{0x12, 0x34, 0x56, 0x78},
         1,
         {0x23, 0x24, 0x12, 0x34, 0x56, 0x78, 0x01, 0x00},
         Answer::negative(0x23, 0x31),
         false,
         {0x7F, 0x23, 0x31}},
        {{0x12, 0x34, 0x56, 0x78},
         1,
         {0x23, 0x24, 0x12, 0x34, 0x56, 0x78, 0x01, 0x00},
         Answer::reply({0x64, 1}),
         false,
         {0x64, 1}},
        {{0x12, 0x34, 0x56, 0x78},
         1,
         {0x23, 0x24, 0x12, 0x34, 0x56, 0x78, 0x01, 0x00},
         Answer::empty(),
         false,
         {}},
    };
    for (const Case& c : cases) {
        Rig<DevVO_ecuUDS_CAN> rig;
        rig.bus.expect(c.request, c.answer);
        Bytes out;
        EXPECT_EQ(rig.ecu.ReadMemoryByAddress(c.address, c.size, out), c.result) << hex(c.request);
        EXPECT_EQ(out, c.out);
        ASSERT_EQ(rig.bus.exchanges().size(), 1u);
        EXPECT_EQ(rig.bus.exchanges()[0].answerLength, 5000u);
    }
}

TEST(DevVOEcuUdsCan, SizeFieldOfLengthZeroCarriesTheBytesTheValueNeeds) {
    Rig<DevVO_ecuUDS_CAN> rig;
    ASSERT_TRUE(rig.ecu.setSizeAndAddressLength(0, 4));
    rig.bus.expect({0x23, 0x34, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01}, Answer::reply({0x63}));
    Bytes out;
    EXPECT_TRUE(rig.ecu.ReadMemoryByAddress({0x00, 0x00, 0x00, 0x10}, 0x10000, out));
    EXPECT_TRUE(rig.bus.done());
}

TEST(DevVOEcuUdsCan, LengthFieldsThatWouldCutNonZeroBytesAreRefusedWithoutRequest) {
    Rig<DevVO_ecuUDS_CAN> rig;
    Bytes out;
    EXPECT_FALSE(rig.ecu.ReadMemoryByAddress({0x12, 0x34, 0x56, 0x78, 0x9A}, 1, out));
    ASSERT_TRUE(rig.ecu.setSizeAndAddressLength(1, 4));
    EXPECT_FALSE(rig.ecu.ReadMemoryByAddress({0x12, 0x34, 0x56, 0x78}, 0x100, out));
    EXPECT_FALSE(rig.ecu.WriteMemoryByAddress({0x12, 0x34, 0x56, 0x78}, Bytes(0x100)));
    // Surplus zero bytes are cut as usual.
    rig.bus.expect({0x23, 0x14, 0x12, 0x34, 0x56, 0x78, 0x10}, Answer::reply({0x63}));
    EXPECT_TRUE(rig.ecu.ReadMemoryByAddress({0x12, 0x34, 0x56, 0x78, 0x00}, 0x10, out));
    EXPECT_TRUE(rig.bus.done());
}

TEST(DevVOEcuUdsCan, WriteMemoryAnnouncesItselfThenWrites) {
    const Bytes head = {0x31, 0x01, 0xF0, 0x01, 0x56, 0x34, 0x12, 0x00, 0x02};
    Bytes prepare = head;
    prepare.push_back(referenceCrc8Reflected(Bytes(head.begin() + 4, head.end())));
    const Bytes write = {0x3D, 0x24, 0x12, 0x34, 0x56, 0x78, 0x02, 0x00, 0xAA, 0xBB};
    const Bytes positive = {0x71, 0x01, 0xF0, 0x01};
    struct Case {
        std::vector<Answer> answers;
        bool result;
    };
    const Case cases[] = {
        {{Answer::reply(positive), Answer::reply({0x7D})}, true},
        {{Answer::reply(positive), Answer::negative(0x3D, 0x72)}, false},
        {{Answer::reply(positive), Answer::empty()}, false},
        {{Answer::reply({0x71, 0x01, 0xF0, 0x02})}, false},
        {{Answer::reply({0x71, 0x01, 0xF0})}, false},
        {{Answer::negative(0x31, 0x22)}, false},
        {{Answer::none()}, false},
    };
    for (const Case& c : cases) {
        Rig<DevVO_ecuUDS_CAN> rig;
        rig.bus.expect(prepare, c.answers[0]);
        if (c.answers.size() > 1) {
            rig.bus.expect(write, c.answers[1]);
        }
        EXPECT_EQ(rig.ecu.WriteMemoryByAddress({0x12, 0x34, 0x56, 0x78}, {0xAA, 0xBB}), c.result);
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(rig.bus.exchanges()[0].answerLength, 8u);
        if (c.answers.size() > 1) {
            EXPECT_EQ(rig.bus.exchanges()[1].answerLength, 5000u);
        }
    }
}

TEST(DevVOEcuUdsCan, WriteMemoryWithShortAddressSendsNothing) {
    Rig<DevVO_ecuUDS_CAN> rig;
    EXPECT_FALSE(rig.ecu.prepareMemoryWrite({0x12, 0x34}, {0xAA}));
    EXPECT_FALSE(rig.ecu.WriteMemoryByAddress({0x12, 0x34}, {0xAA}));
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(DevVOEcuUdsCan, ReceiveTimeoutIsTheChannels) {
    Rig<DevVO_ecuUDS_CAN> rig;
    EXPECT_TRUE(rig.ecu.setReceiveTimeout(300));
    EXPECT_EQ(rig.ecu.getReceiveTimeout(), 300u);
    EXPECT_EQ(rig.channel.getComParams()->rxTimeoutMs, 300u);
}

}  // namespace
}  // namespace ecutest

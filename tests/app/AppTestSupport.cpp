#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include "comm/ComParams.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"

namespace apptest {

std::string writeHexFile(const ScratchDir& dir, const std::string& name, const std::vector<FileRun>& runs) {
    const std::string path = dir.path(name);
    Io::Export::IntelHexOutFile out(path.c_str(), {});
    for (const FileRun& run : runs) {
        Buffer::MemoryBuffer image(run.address, run.bytes.size());
        image.writeBytes(run.address, run.bytes.data(), run.bytes.size());
        out.insertMemoryBuffer(image);
    }
    out.writeFile();
    return path;
}

CommandLine::CommandLine(std::vector<std::string> args) : words(std::move(args)) {
    words.insert(words.begin(), "voflash");
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
}

void expectCanRecord(const ComParams* record, const CanRecordFields& expected) {
    const auto* can = dynamic_cast<const ComParamsVXLapiCAN*>(record);
    ASSERT_NE(can, nullptr);
    EXPECT_EQ(can->hwType, expected.hwType);
    EXPECT_EQ(can->hwIndex, expected.hwIndex);
    EXPECT_EQ(can->channel, expected.channel);
    EXPECT_EQ(can->bitrate, expected.bitrate);
    EXPECT_EQ(can->rxQueueLimit, expected.rxQueueLimit);
    EXPECT_EQ(can->notificationLevel, 32u);
    EXPECT_FALSE(can->canFd);
}

void expectSerialRecord(const ComParams* record, uint32_t port, uint32_t baud) {
    const auto* serial = dynamic_cast<const ComParamsSerial*>(record);
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->port, port);
    EXPECT_EQ(serial->baud, baud);
    EXPECT_EQ(serial->firstByteTimeoutMs, 200u);
    EXPECT_EQ(serial->interByteTimeoutMs, 100u);
    EXPECT_EQ(serial->rxTimeoutMs, 5000u);
    EXPECT_EQ(serial->interByteDelayMs, 0u);
}

}  // namespace apptest

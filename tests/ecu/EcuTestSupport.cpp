#include "tests/ecu/EcuTestSupport.h"

#include <regex>

#include "console/console.h"

namespace ecutest {

namespace {

std::ostream* const streams[] = {&errorOut, &infoOut, &successOut, &normalOut, &warningOut};

}  // namespace

StreamCapture::StreamCapture() {
    for (int i = 0; i < kStreams; ++i) {
        savedFlags[i] = streams[i]->flags();
        streams[i]->flags(std::ios_base::dec | std::ios_base::skipws);
        saved[i] = streams[i]->rdbuf(&buffers[i]);
    }
}

StreamCapture::~StreamCapture() {
    for (int i = 0; i < kStreams; ++i) {
        streams[i]->rdbuf(saved[i]);
        streams[i]->flags(savedFlags[i]);
    }
}

std::vector<uint32_t> progressValues(const std::string& normalText) {
    static const std::regex bar(R"(\[[=> ]{50}\] (\d+) %\r)");
    std::vector<uint32_t> values;
    for (auto it = std::sregex_iterator(normalText.begin(), normalText.end(), bar);
         it != std::sregex_iterator(); ++it) {
        values.push_back(static_cast<uint32_t>(std::stoul((*it)[1].str())));
    }
    return values;
}

Bytes counting(size_t n, uint8_t first) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

}  // namespace ecutest

#include "comm/ComDummy.h"

ComDummy::ComDummy(const ComParams& params, uint32_t id) : Communication(new ComParams(params), id) {}

ComDummy::~ComDummy() = default;

const std::string& ComDummy::name() const {
    static const std::string text = "COM_Dummy";
    return text;
}

void ComDummy::getLastSent(std::vector<uint8_t>& out) const {
    std::lock_guard<std::mutex> guard(lock);
    out = lastSent;
}

void ComDummy::setResponse(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> guard(lock);
    response = frame;
}

ComDummy& ComDummy::instance() {
    static ComDummy channel(ComParams(0), 0);
    return channel;
}

bool ComDummy::open() {
    return true;
}

bool ComDummy::write(uint32_t, uint32_t, const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> guard(lock);
    lastSent = frame;
    return true;
}

bool ComDummy::read(uint32_t, uint32_t, std::vector<uint8_t>& out, uint32_t) {
    std::lock_guard<std::mutex> guard(lock);
    out = response;
    return true;
}

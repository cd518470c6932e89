#pragma once
// Loop-back channel without a bus: write keeps the last frame written, read returns a response set
// beforehand (whatever identifiers and count are asked).

#include <mutex>

#include "comm/Communication.h"

class ComDummy : public Communication {
  public:
    // Keeps a plain ComParams copy of params (its copy constructor: id and label, default time-outs).
    ComDummy(const ComParams& params, uint32_t id);
    ~ComDummy() override;

    const std::string& name() const override;

    void getLastSent(std::vector<uint8_t>& out) const;
    void setResponse(const std::vector<uint8_t>& frame);

    // Process-wide loop-back channel over ComParams(0), id 0.
    static ComDummy& instance();

  protected:
    bool open() override;
    bool write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) override;
    bool read(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count) override;

  private:
    mutable std::mutex lock;
    std::vector<uint8_t> lastSent;
    std::vector<uint8_t> response;
};

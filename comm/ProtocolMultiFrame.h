#pragma once
// Base of the segmented protocols: holds the frames of the message being sent and two worker threads
// that wait for a common stop signal.
//
// The workers call workerA and workerB through the virtual table, so every class that derives from
// this one and can have workers running calls stopThreads at the start of its own destructor.

#include <deque>
#include <memory>
#include <vector>

#include "comm/Protocol.h"
#include "platform/event.h"
#include "platform/thread.h"

class ProtocolMultiFrame : public Protocol {
  public:
    using FrameQueue = std::deque<std::vector<uint8_t>>;

    ProtocolMultiFrame(uint64_t address, uint64_t value);
    ~ProtocolMultiFrame() override;

    const std::string& name() const override;
    bool validate() override;
    bool decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame) override;

    // Appends the payload as one frame.
    virtual bool segment(FrameQueue& frames, const std::vector<uint8_t>& payload);
    // Starts both workers; false when a worker exists already or one could not be started.
    virtual bool startThreads();
    // Signals both workers to stop and joins them, up to 1000 ms each. True at once when none runs;
    // false when a worker did not end in time (it is kept, so it can be stopped again).
    virtual bool stopThreads();
    // Wait for the stop signal and return true.
    virtual bool workerA();
    virtual bool workerB();

  protected:
    FrameQueue frames;
    FrameQueue::iterator cursor;
    // Manual-reset, so one signal reaches both workers; reset once both have ended.
    platform::Event stopEvent{true, false};

  private:
    bool stopWorker(std::unique_ptr<platform::Thread>& worker);

    std::unique_ptr<platform::Thread> threadA;
    std::unique_ptr<platform::Thread> threadB;
};

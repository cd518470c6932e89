#pragma once
// Base of the channels that run on a driver library: the open is an activation that either succeeds
// or leaves a status code behind, from which the open check chooses its exception.

#include <cstdint>

#include "comm/Communication.h"

class ComLIB_DLL : public Communication {
  public:
    ComLIB_DLL(ComParams* params, uint32_t id);
    ~ComLIB_DLL() override;

    uint32_t typeCode() const override;
    // Runs activate; its result is the channel's open state.
    bool open() override;
    bool checkClose() override;

    virtual bool isLibraryLoaded() const;
    virtual bool unloadLibrary();
    virtual bool activate();
    virtual bool close();

    void setLastError(uint32_t error) { lastError = error; }
    uint32_t getLastError() const { return lastError; }
    bool isOpenFlag() const { return isOpen; }

  protected:
    bool isOpen = false;
    // The code the failing open step left (0 when no step set one).
    uint32_t lastError = 0;
};

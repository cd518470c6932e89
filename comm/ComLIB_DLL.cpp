#include "comm/ComLIB_DLL.h"

ComLIB_DLL::ComLIB_DLL(ComParams* params, uint32_t id) : Communication(params, id) {}

ComLIB_DLL::~ComLIB_DLL() {
    ComLIB_DLL::close();
}

uint32_t ComLIB_DLL::typeCode() const {
    return 6;
}

bool ComLIB_DLL::open() {
    isOpen = activate();
    return isOpen;
}

bool ComLIB_DLL::checkClose() {
    return true;
}

bool ComLIB_DLL::isLibraryLoaded() const {
    return false;
}

bool ComLIB_DLL::unloadLibrary() {
    return false;
}

bool ComLIB_DLL::activate() {
    return false;
}

bool ComLIB_DLL::close() {
    return false;
}

// Placeholder for the KES2 and DRO programs until they are built.
#include <iostream>

#include "app/FlashPrograms.h"

int runKes2Program(int, char*[]) {
    std::cerr << "The KES2 program is not available in this build." << std::endl;
    return 1;
}

int runDroProgram(int, char*[]) {
    std::cerr << "The DRO program is not available in this build." << std::endl;
    return 1;
}

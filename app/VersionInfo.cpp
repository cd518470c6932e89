#include "app/VersionInfo.h"

#include <ostream>

#include "console/console.h"
#include "voflash_build_info.h"

std::string versionCopyright;
std::string versionFileName;
std::string versionText;
bool versionInfoFound = false;

const char* getBuildDate() {
    static const std::string date = __DATE__;
    return date.c_str();
}

std::string versionTextOf(uint32_t fileVersionMS) {
    return std::to_string(fileVersionMS >> 16) + "." + std::to_string(fileVersionMS & 0xFFFF);
}

void printVersionInfo(const char* /*programPath*/) {
    // The version values are built into the program, so they are there whatever path it runs from.
    versionFileName = VOFLASH_PROGRAM_FILE_NAME;
    versionCopyright = VOFLASH_COPYRIGHT;
    versionText = versionTextOf((uint32_t{VOFLASH_VERSION_MAJOR} << 16) | uint32_t{VOFLASH_VERSION_MINOR});
    versionInfoFound = true;
    infoOut << versionFileName << " version " << versionText << " from " << getBuildDate() << std::endl;
    infoOut << versionCopyright << std::endl;
}

#pragma once
// The version banner of the standard flash programs: file name, version and build date, then the
// copyright line, on infoOut. The values are fixed when the program is built.

#include <cstdint>
#include <string>

// The build date, "Mmm dd yyyy" as the compiler writes it.
const char* getBuildDate();

// Prints the banner for the program at programPath (the values do not depend on the path).
void printVersionInfo(const char* programPath);

// "major.minor" of a most significant file-version word (major in the high 16 bits).
std::string versionTextOf(uint32_t fileVersionMS);

// The banner values, set by printVersionInfo.
extern std::string versionFileName;
extern std::string versionCopyright;
extern std::string versionText;
extern bool versionInfoFound;

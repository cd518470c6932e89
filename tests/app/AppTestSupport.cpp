#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"

namespace apptest {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "voflash-app-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "no scratch folder";
    }
    dir = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string ScratchDir::writeText(const std::string& name, const std::string& text) const {
    std::ofstream out(path(name), std::ios::binary);
    out << text;
    return path(name);
}

std::string ScratchDir::readText(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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

}  // namespace apptest

#pragma once
// A fresh folder for a test's input and output files, removed with everything in it when the object
// goes (unless kept). Files are written and read back byte for byte, as they are on disk.

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace testing_support {

class ScratchDir {
  public:
    // Throws when no folder can be made: a test must not go on writing its files somewhere else.
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "voflash-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("no scratch folder from " + pattern + ": " + std::strerror(errno));
        }
        dir_ = pattern;
    }
    ~ScratchDir() {
        if (!kept_) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Leaves the folder and its files in place, to be looked at after the run.
    void keep() { kept_ = true; }

    const std::string& path() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Writes text as it stands and returns the path.
    std::string writeText(const std::string& name, const std::string& text) const {
        const std::string file = path(name);
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }

    std::string readText(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The names in the folder, hidden ones included.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

  private:
    std::string dir_;
    bool kept_ = false;
};

}  // namespace testing_support

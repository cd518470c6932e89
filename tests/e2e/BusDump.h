#pragma once
// The requests the tool sent, as xl-bus-dump saw them on the bus of an E2eEnv: what reached the ECU,
// told apart from what the tool printed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/E2eSupport.h"

extern char** environ;

namespace e2e {

// xl-bus-dump on the env's ECU bus from construction until stop().
class BusDump {
  public:
    explicit BusDump(const E2eEnv& env) : out_(env.path("dump.txt")), err_(env.path("dump.err")) {
        std::vector<std::string> texts = env.environment();
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            if (std::none_of(texts.begin(), texts.end(),
                             [&](const std::string& t) { return t.rfind(name, 0) == 0; })) {
                texts.push_back(entry);
            }
        }
        std::vector<std::string> args = {XL_BUS_DUMP_EXE, "ecu"};
        std::vector<char*> argv;
        std::vector<char*> envp;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        for (std::string& t : texts) {
            envp.push_back(t.data());
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pid_ > 0 && !contains(text(err_), "listening") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        listening_ = contains(text(err_), "listening");
    }
    ~BusDump() { stop(); }

    bool listening() const { return listening_; }
    // After stop: the dump, one frame a line as xl-bus-dump writes it.
    const std::string& lines() const { return lines_; }

    // Ends the dump and gives the service byte of every request of the tool (identifier 6F1) it saw,
    // in order: the first payload byte of each single and first frame. A dump that lost frames fails
    // the test.
    std::vector<uint8_t> stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        lines_ = text(out_);
        const std::string& lines = lines_;
        EXPECT_FALSE(contains(lines, "lost")) << lines;
        std::vector<uint8_t> services;
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line.substr(line.find(')') + 1));
            std::string bus;
            std::string id;
            std::string length;
            fields >> bus >> id >> length;
            std::vector<unsigned> bytes;
            unsigned byte = 0;
            while (fields >> std::hex >> byte) {
                bytes.push_back(byte);
            }
            // Address byte, then the frame type: 0x0n single frame, 0x1n first frame.
            if (id != "6F1" || bytes.size() < 4) {
                continue;
            }
            if (bytes[1] >> 4 == 0) {
                services.push_back(static_cast<uint8_t>(bytes[2]));
            } else if (bytes[1] >> 4 == 1) {
                services.push_back(static_cast<uint8_t>(bytes[3]));
            }
        }
        return services;
    }

  private:
    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
    static std::string text(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string out_;
    std::string err_;
    std::string lines_;
    pid_t pid_ = -1;
    bool listening_ = false;
};

// Whether services holds service.
inline bool sent(const std::vector<uint8_t>& services, uint8_t service) {
    return std::find(services.begin(), services.end(), service) != services.end();
}

}  // namespace e2e

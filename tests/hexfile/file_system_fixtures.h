#pragma once
// What the tests of files written on small or shared file systems need: an action run as another user,
// mounts of a test's own, the names in a folder.

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/other_user.h"

namespace hexfile_test {

// Runs the action in a child process as the user nobody and gives its exit code; -1 when the child
// could not become nobody.
inline int asNobody(const std::function<int()>& action) {
    const std::optional<testing_support::OtherUser> nobody = testing_support::nobodyUser();
    if (!nobody) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!testing_support::become(*nobody)) {
            std::_Exit(100);
        }
        std::_Exit(action());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 100) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// The names in a folder.
inline std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Mounts of a test's own, in a mount namespace of the test process's own, so that none of them is
// seen outside it or outlives it; unmounted in reverse order at the end.
class PrivateMounts {
  public:
    // Why mounts cannot be made here; empty when they can.
    std::string unavailable() {
        if (::geteuid() != 0) {
            return "needs the superuser to mount file systems";
        }
        if (::unshare(CLONE_NEWNS) != 0) {
            return std::string("no mount namespace of its own: ") + std::strerror(errno);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("mounts cannot be made private: ") + std::strerror(errno);
        }
        return "";
    }
    // A tmpfs of that many bytes on the folder.
    bool smallFileSystem(const std::string& folder, std::size_t bytes, mode_t mode) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=" + octal(mode);
        return add(::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()), folder);
    }
    // The file from mounted on the file to.
    bool bind(const std::string& from, const std::string& to) {
        return add(::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), to);
    }
    ~PrivateMounts() {
        for (auto point = points.rbegin(); point != points.rend(); ++point) {
            ::umount2(point->c_str(), MNT_DETACH);
        }
    }

  private:
    static std::string octal(mode_t mode) {
        std::ostringstream text;
        text << std::oct << mode;
        return text.str();
    }
    bool add(int result, const std::string& point) {
        if (result == 0) {
            points.push_back(point);
        }
        return result == 0;
    }
    std::vector<std::string> points;
};

}  // namespace hexfile_test

#pragma once
// Text handed to a reader that can read it only once, as a shell's pipe or process substitution gives
// a file to a program.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>

namespace testing_support {

// Text for a reader that can read it only once: a FIFO at path, or (path empty) a pipe that a child
// process can open as /dev/fd/N, as a shell's pipe into standard input gives it. A thread writes the
// text; the rest that no reader took is read at the end.
class Feed {
  public:
    Feed(const std::string& path, std::string text) : text(std::move(text)) {
        int ends[2] = {-1, -1};
        if (path.empty() ? ::pipe2(ends, O_CLOEXEC) != 0 : ::mkfifo(path.c_str(), 0600) != 0) {
            return;
        }
        name = path.empty() ? "/dev/fd/" + std::to_string(ends[0]) : path;
        readEnd = ends[0];
        writer = std::thread([this, path, writeEnd = ends[1]] {
            const int fd = path.empty() ? writeEnd : ::open(path.c_str(), O_WRONLY);
            for (std::size_t at = 0; fd >= 0 && at < this->text.size();) {
                const ssize_t wrote = ::write(fd, this->text.data() + at, this->text.size() - at);
                if (wrote <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(wrote);
            }
            ::close(fd);
        });
    }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;
    ~Feed() {
        if (!writer.joinable()) {
            return;
        }
        // A FIFO that no run opened lets the writer open it once a reader comes.
        const int fd = readEnd >= 0 ? readEnd : ::open(name.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, 0);
            char rest[4096];
            while (::read(fd, rest, sizeof rest) > 0) {
            }
        }
        writer.join();
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // Empty when the FIFO or the pipe could not be made.
    const std::string& path() const { return name; }

  private:
    std::string text;
    std::string name;
    int readEnd = -1;
    std::thread writer;
};

}  // namespace testing_support

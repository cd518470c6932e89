#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

struct NamedMutex::Segment {
    // kMagic once the mutex below is initialised; 0 in a segment nobody has finished setting up.
    uint32_t magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

namespace {

constexpr uint32_t kMagic = 0x564F4D31u;  // "VOM1"

// A name is a single path component behind one '/': every other '/' and NUL becomes '_'.
std::string component(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c == '/' || c == '\0' ? '_' : c);
    }
    return out;
}

uint64_t fnv1a(const std::string& text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : text) {
        h = (h ^ c) * 0x100000001B3ull;
    }
    return h;
}

// 0, or the error number of the step that failed.
int initialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    if ((rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED)) == 0 &&
        (rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST)) == 0 &&
        (rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE)) == 0) {
        rc = pthread_mutex_init(mutex, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return rc;
}

bool lockFile(int fd, int operation) {
    while (flock(fd, operation) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string NamedMutex::systemNameFor(const std::string& name) {
    size_t first = 0;
    while (first < name.size() && name[first] == '/') {
        ++first;
    }
    std::string body = component(name.substr(first));
    const char* prefix = std::getenv(kPrefixVariable);
    if (prefix != nullptr && *prefix != '\0') {
        body = component(prefix) + "." + body;
    }
    if (body.empty()) {
        return std::string();
    }
    if (1 + body.size() > kMaxSystemName) {
        char hash[18];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(body)));
        body.resize(kMaxSystemName - 1 - (sizeof hash - 1));
        body += hash;
    }
    return "/" + body;
}

NamedMutex::NamedMutex(const std::string& name) : systemName_(systemNameFor(name)) {
    if (systemName_.empty()) {
        error_ = EINVAL;
        return;
    }
    const int fd = openSegmentFile();
    if (fd < 0) {
        return;
    }
    segment_ = mapSegment(fd);
    close(fd);
}

// An existing segment is opened as it is, without O_CREAT: where the system protects files in
// world-writable sticky directories (fs.protected_regular), an open with O_CREAT of a segment that
// belongs to another user is refused, the superuser's included, whatever its mode. Only a missing
// one is created, and exclusively, so that such an open never meets another user's segment. A
// segment that another process makes or removes between the two steps sends the opener round
// again.
int NamedMutex::openSegmentFile() {
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int fd = shm_open(systemName_.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            // A segment left by a build that made it for its owner alone would lock every other
            // user out. For a user who is neither the owner nor the superuser this fails,
            // harmlessly: the mode let them in.
            struct stat st {};
            if (fstat(fd, &st) == 0 && (st.st_mode & 07777) != kMode) {
                fchmod(fd, kMode);
            }
            return fd;
        }
        if (errno != ENOENT) {
            break;
        }
        fd = shm_open(systemName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kMode);
        if (fd >= 0) {
            // The umask narrows the mode at creation.
            fchmod(fd, kMode);
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    error_ = errno;
    return -1;
}

// Openers are serialised by a lock on the segment file. The kernel drops that lock when its holder
// ends, so a process that dies half-way through blocks nobody: the next opener finds the magic word
// missing and initialises the mutex again.
NamedMutex::Segment* NamedMutex::mapSegment(int fd) {
    if (!lockFile(fd, LOCK_EX)) {
        error_ = errno;
        return nullptr;
    }
    Segment* segment = nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 ||
        (static_cast<size_t>(st.st_size) < sizeof(Segment) && ftruncate(fd, sizeof(Segment)) != 0)) {
        error_ = errno;
    } else if (void* p = mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
               p == MAP_FAILED) {
        error_ = errno;
    } else {
        auto* s = static_cast<Segment*>(p);
        if (s->magic == 0) {
            error_ = initialiseMutex(&s->mutex);
            if (error_ == 0) {
                s->magic = kMagic;
            }
        } else if (s->magic != kMagic) {
            // Something else made a segment of that name.
            error_ = EINVAL;
        }
        if (error_ == 0) {
            segment = s;
        } else {
            munmap(p, sizeof(Segment));
        }
    }
    lockFile(fd, LOCK_UN);
    return segment;
}

NamedMutex::~NamedMutex() {
    if (segment_ != nullptr && holds_.load() == 0) {
        munmap(segment_, sizeof(Segment));
    }
}

bool NamedMutex::release() {
    if (segment_ == nullptr || pthread_mutex_unlock(&segment_->mutex) != 0) {
        return false;
    }
    holds_.fetch_sub(1);
    return true;
}

uint32_t NamedMutex::tryTake(uint32_t sliceMs) {
    if (segment_ == nullptr) {
        return kWaitFailed;
    }
    int rc;
    if (sliceMs == 0) {
        rc = pthread_mutex_trylock(&segment_->mutex);
    } else {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(sliceMs / 1000);
        deadline.tv_nsec += static_cast<long>(sliceMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        rc = pthread_mutex_clocklock(&segment_->mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (rc) {
        case 0:
            holds_.fetch_add(1);
            return kWaitObject0;
        case EOWNERDEAD:
            // The owner ended while holding it; the caller owns it now and the data it guards is
            // taken as it is.
            pthread_mutex_consistent(&segment_->mutex);
            holds_.fetch_add(1);
            return kWaitAbandoned0;
        case EBUSY:
        case ETIMEDOUT:
        case EAGAIN:
            return kWaitTimeout;
        default:
            return kWaitFailed;
    }
}

}  // namespace platform

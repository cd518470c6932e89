#include "xl/bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace xl::bus {

namespace {

// ---- Wire format: one datagram per frame, the header then `length` data bytes ----------------
constexpr uint32_t kMagic = 0x31425856u;  // "VXB1"

struct Wire {
    uint32_t magic;
    uint8_t kind, flags, dlc, length;
    uint32_t id;
    uint8_t checksum, busStatus, txErrorCounter, rxErrorCounter;
    uint32_t count;
    uint32_t bitrate;
    uint32_t senderPid;
    uint32_t reserved;
    uint64_t timeNs;
    uint64_t sender;
    uint64_t seq;
    uint8_t data[64];
};
constexpr size_t kHeaderSize = offsetof(Wire, data);

size_t encode(const Frame& f, Wire& w) {
    std::memset(&w, 0, sizeof w);
    w.magic = kMagic;
    w.kind = static_cast<uint8_t>(f.kind);
    w.flags = f.flags;
    w.dlc = f.dlc;
    w.length = f.length > 64 ? 64 : f.length;
    w.id = f.id;
    w.checksum = f.checksum;
    w.busStatus = f.busStatus;
    w.txErrorCounter = f.txErrorCounter;
    w.rxErrorCounter = f.rxErrorCounter;
    w.count = f.count;
    w.bitrate = f.bitrate;
    w.senderPid = f.senderPid;
    w.timeNs = f.timeNs;
    w.sender = f.sender;
    w.seq = f.seq;
    std::memcpy(w.data, f.data, w.length);
    return kHeaderSize + w.length;
}

bool decode(const Wire& w, size_t size, Frame& f) {
    if (size < kHeaderSize || w.magic != kMagic || w.length > 64 || size != kHeaderSize + w.length) {
        return false;
    }
    if (w.kind < static_cast<uint8_t>(Kind::kCan) || w.kind > static_cast<uint8_t>(Kind::kLinFrame)) {
        return false;
    }
    f = Frame{};
    f.kind = static_cast<Kind>(w.kind);
    f.flags = w.flags;
    f.dlc = w.dlc;
    f.length = w.length;
    f.id = w.id;
    std::memcpy(f.data, w.data, w.length);
    f.checksum = w.checksum;
    f.busStatus = w.busStatus;
    f.txErrorCounter = w.txErrorCounter;
    f.rxErrorCounter = w.rxErrorCounter;
    f.count = w.count;
    f.bitrate = w.bitrate;
    f.senderPid = w.senderPid;
    f.timeNs = w.timeNs;
    f.sender = w.sender;
    f.seq = w.seq;
    return true;
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t randomToken() {
    uint64_t v = 0;
    if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
        v = monotonicNs() ^ (static_cast<uint64_t>(getpid()) << 40);
    }
    return v;
}

std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool isSocketName(const char* name) {
    const size_t n = std::strlen(name);
    return n > 5 && name[0] != '.' && std::strcmp(name + n - 5, ".sock") == 0;
}

bool fitsSocketPath(const std::string& path) {
    return path.size() < sizeof(sockaddr_un{}.sun_path);
}

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

// Makes the directory if it is absent; it must then be a directory (not a link to one).
bool ensureDirectory(const std::string& path, bool mustBeOurs, std::string* error) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = errnoText("cannot create bus directory", path);
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        *error = errnoText("cannot read bus directory", path);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = "bus directory " + path + " is not a directory";
        return false;
    }
    if (mustBeOurs && st.st_uid != getuid()) {
        *error = "bus directory " + path + " belongs to another user (set VOFLASH_BUS_DIR)";
        return false;
    }
    return true;
}

// ---- One bus as this process sees it: its directory, lock and the other nodes' sockets --------

struct Peer {
    int fd = -1;
    bool stuck = false;  // read nothing for kStuckNodeMs: passed over until it reads again
};

struct Bus {
    std::string name;
    std::string dir;
    int lockFd = -1;
    int watch = -1;  // inotify watch of dir, -1 without one (then every send rescans)

    std::mutex lock;  // everything below; held for a whole send
    std::map<std::string, Peer> peers;
    bool rescan = true;
    // Set without the lock by a change that found the bus busy (a send waiting for a slow node):
    // the next send rescans instead.
    std::atomic<bool> rescanRequested{false};
    uint64_t lockStuckUntilNs = 0;

    ~Bus();
    void dropPeer(std::map<std::string, Peer>::iterator it, bool stale) {
        if (stale) {
            unlink((dir + "/" + it->first).c_str());
        }
        close(it->second.fd);
        peers.erase(it);
    }
    void addPeer(const std::string& file) {
        if (peers.count(file) != 0) {
            return;
        }
        const std::string path = dir + "/" + file;
        if (!fitsSocketPath(path)) {
            return;
        }
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return;
        }
        const sockaddr_un a = socketAddress(path);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            // A visible socket was bound before it got its name: refusing means its owner is gone.
            if (errno == ECONNREFUSED) {
                unlink(path.c_str());
            }
            close(fd);
            return;
        }
        peers[file].fd = fd;
    }
    void rescanDirectory() {
        rescan = false;
        std::vector<std::string> present;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                if (isSocketName(e->d_name)) {
                    present.emplace_back(e->d_name);
                }
            }
            closedir(d);
        }
        for (auto it = peers.begin(); it != peers.end();) {
            auto next = std::next(it);
            bool found = false;
            for (const std::string& p : present) {
                found = found || p == it->first;
            }
            if (!found) {
                dropPeer(it, false);
            }
            it = next;
        }
        for (const std::string& p : present) {
            addPeer(p);
        }
        if (watch < 0) {
            rescan = true;  // without a watch, every send looks again
        }
    }

    // Bounded: a holder that stopped (a debugger) or waits for a stuck node must not hang the bus.
    bool lockBus() {
        constexpr uint64_t kLockWaitNs = 2ull * kStuckNodeMs * 1000000ull + 50000000ull;
        if (flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        const uint64_t start = monotonicNs();
        if (lockStuckUntilNs > start) {
            return false;
        }
        for (unsigned spins = 0;; ++spins) {
            if (flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
                return true;
            }
            const uint64_t now = monotonicNs();
            if (now - start > kLockWaitNs) {
                lockStuckUntilNs = now + 1000000000ull;
                return false;
            }
            if (spins < 50) {
                sched_yield();
            } else {
                timespec ts{0, 20000};
                nanosleep(&ts, nullptr);
            }
        }
    }

    // Sends the datagram to one peer. Returns true when it went out; drops a peer that is gone.
    bool sendTo(std::map<std::string, Peer>::iterator it, const void* buf, size_t size) {
        Peer& p = it->second;
        uint64_t deadline = 0;
        for (;;) {
            const ssize_t r = ::send(p.fd, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r == static_cast<ssize_t>(size)) {
                p.stuck = false;
                return true;
            }
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (p.stuck) {
                    return false;
                }
                const uint64_t now = monotonicNs();
                if (deadline == 0) {
                    deadline = now + static_cast<uint64_t>(kStuckNodeMs) * 1000000ull;
                }
                if (now >= deadline) {
                    p.stuck = true;
                    return false;
                }
                pollfd pfd{p.fd, POLLOUT, 0};
                const int waitMs = static_cast<int>((deadline - now + 999999) / 1000000);
                poll(&pfd, 1, waitMs);
                continue;
            }
            if (r < 0 && errno == EINTR) {
                continue;
            }
            // The owner closed its socket without removing the file (it was killed): stale.
            const bool stale = r < 0 && (errno == ECONNREFUSED || errno == ENOTCONN || errno == ECONNRESET ||
                                         errno == EPIPE || errno == EDESTADDRREQ);
            dropPeer(it, stale);
            return false;
        }
    }

    size_t send(Frame& frame, const std::string& selfFile) {
        std::lock_guard<std::mutex> guard(lock);
        if (rescanRequested.exchange(false) || rescan) {
            rescanDirectory();
        }
        const bool locked = lockBus();
        frame.timeNs = monotonicNs();
        Wire w;
        const size_t size = encode(frame, w);
        size_t reached = 0;
        for (auto it = peers.begin(); it != peers.end();) {
            auto next = std::next(it);
            if (it->first != selfFile && sendTo(it, &w, size)) {
                ++reached;
            }
            it = next;
        }
        if (locked) {
            flock(lockFd, LOCK_UN);
        }
        return reached;
    }
};

// ---- The buses this process uses, and the one inotify instance that watches their directories ---

class Registry {
  public:
    static Registry& instance() {
        static Registry* r = new Registry();  // never destroyed: buses may outlive static destruction
        return *r;
    }

    std::shared_ptr<Bus> acquire(const std::string& name, std::string* error) {
        if (!isValidName(name)) {
            *error =
                "invalid bus name \"" + name + "\" (1 to 31 of A-Z a-z 0-9 _ - ., not starting with '.')";
            return nullptr;
        }
        const std::string base = baseDirectory();
        const std::string dir = base + "/" + name;
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (auto it = buses_.find(dir); it != buses_.end()) {
            if (auto b = it->second.lock()) {
                return b;
            }
        }
        std::erase_if(buses_, [](const auto& entry) { return entry.second.expired(); });
        if (!ensureDirectory(
                base, std::getenv("VOFLASH_BUS_DIR") == nullptr || *std::getenv("VOFLASH_BUS_DIR") == '\0',
                error) ||
            !ensureDirectory(dir, false, error)) {
            return nullptr;
        }
        auto b = std::make_shared<Bus>();
        b->name = name;
        b->dir = dir;
        const std::string lockPath = dir + "/.lock";
        b->lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (b->lockFd < 0) {
            *error = errnoText("cannot open bus lock", lockPath);
            return nullptr;
        }
        if (inotify_ < 0 && !inotifyFailed_) {
            inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            inotifyFailed_ = inotify_ < 0;
        }
        if (inotify_ >= 0) {
            b->watch = inotify_add_watch(inotify_, dir.c_str(),
                                         IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
            if (b->watch >= 0) {
                watches_[b->watch] = b;
            }
        }
        buses_[dir] = b;
        return b;
    }

    void forget(int watch) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (watch >= 0 && inotify_ >= 0) {
            watches_.erase(watch);
            inotify_rm_watch(inotify_, watch);
        }
    }

    // Applies the directory changes that the kernel has queued so far: a node that renamed its
    // socket into place before this call is seen by the send that follows.
    void applyChanges() {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (inotify_ < 0) {
            return;
        }
        alignas(inotify_event) char buf[8192];
        for (;;) {
            const ssize_t n = read(inotify_, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    std::vector<std::shared_ptr<Bus>> live;  // released after the walk over watches_
                    for (auto& [wd, weak] : watches_) {
                        if (auto b = weak.lock()) {
                            live.push_back(std::move(b));
                        }
                    }
                    for (const auto& b : live) {
                        b->rescanRequested = true;
                    }
                    continue;
                }
                auto it = watches_.find(e->wd);
                if (it == watches_.end() || e->len == 0 || !isSocketName(e->name)) {
                    continue;
                }
                if (auto b = it->second.lock()) {
                    // A bus whose lock is held may be waiting for a slow node: leave it a note
                    // rather than wait, so that the other buses carry on.
                    std::unique_lock<std::mutex> bg(b->lock, std::try_to_lock);
                    if (!bg.owns_lock()) {
                        b->rescanRequested = true;
                        continue;
                    }
                    if (b->rescan) {
                        continue;  // the rescan will see it
                    }
                    if (e->mask & IN_MOVED_TO) {
                        b->addPeer(e->name);
                    } else if (auto p = b->peers.find(e->name); p != b->peers.end()) {
                        b->dropPeer(p, false);
                    }
                }
            }
        }
    }

  private:
    std::recursive_mutex lock_;
    std::map<std::string, std::weak_ptr<Bus>> buses_;
    std::map<int, std::weak_ptr<Bus>> watches_;
    int inotify_ = -1;
    bool inotifyFailed_ = false;
};

Bus::~Bus() {
    Registry::instance().forget(watch);
    for (auto& [file, p] : peers) {
        close(p.fd);
    }
    if (lockFd >= 0) {
        close(lockFd);
    }
}

}  // namespace

std::string baseDirectory() {
    const char* env = std::getenv("VOFLASH_BUS_DIR");
    if (env != nullptr && *env != '\0') {
        std::string dir(env);
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        return dir;
    }
    return "/tmp/voflash-bus-" + std::to_string(getuid());
}

bool isValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

struct Node::Impl {
    std::shared_ptr<Bus> bus;
    int fd = -1;
    std::string file;
    std::string path;
    uint64_t id = 0;
    std::atomic<uint64_t> seq{0};
    std::mutex rxLock;
    std::unordered_map<uint64_t, uint64_t> lastSeq;  // per sender
};

Node::Node(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Node::~Node() {
    // The file goes first: a socket that is visible but closed would look stale to the others.
    unlink(impl_->path.c_str());
    close(impl_->fd);
}

std::unique_ptr<Node> Node::join(const std::string& busName, std::string* error) {
    std::string ignored;
    if (error == nullptr) {
        error = &ignored;
    }
    auto impl = std::make_unique<Impl>();
    impl->bus = Registry::instance().acquire(busName, error);
    if (!impl->bus) {
        return nullptr;
    }
    impl->id = randomToken() | 1;  // never 0: 0 is "no node"
    char name[64];
    std::snprintf(name, sizeof name, "%d.%016llx", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(impl->id));
    impl->file = std::string(name) + ".sock";
    impl->path = impl->bus->dir + "/" + impl->file;
    const std::string hidden = impl->bus->dir + "/." + name + ".tmp";
    if (!fitsSocketPath(hidden)) {
        *error = "bus directory path " + impl->bus->dir + " is too long for a socket (set VOFLASH_BUS_DIR)";
        return nullptr;
    }
    impl->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (impl->fd < 0) {
        *error = errnoText("cannot create a socket for bus", impl->bus->dir);
        return nullptr;
    }
    const sockaddr_un a = socketAddress(hidden);
    if (bind(impl->fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *error = errnoText("cannot bind socket", hidden);
        close(impl->fd);
        return nullptr;
    }
    if (rename(hidden.c_str(), impl->path.c_str()) != 0) {
        *error = errnoText("cannot publish socket", impl->path);
        unlink(hidden.c_str());
        close(impl->fd);
        return nullptr;
    }
    return std::unique_ptr<Node>(new Node(std::move(impl)));
}

const std::string& Node::busName() const {
    return impl_->bus->name;
}

uint64_t Node::id() const {
    return impl_->id;
}

int Node::descriptor() const {
    return impl_->fd;
}

size_t Node::send(Frame& frame) {
    Registry::instance().applyChanges();
    frame.sender = impl_->id;
    frame.senderPid = static_cast<uint32_t>(getpid());
    frame.seq = impl_->seq.fetch_add(1) + 1;
    return impl_->bus->send(frame, impl_->file);
}

bool Node::receive(Frame& frame) {
    Wire w;
    for (;;) {
        const ssize_t n = recv(impl_->fd, &w, sizeof w, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (!decode(w, static_cast<size_t>(n), frame)) {
            continue;
        }
        if (frame.sender != 0) {
            std::lock_guard<std::mutex> guard(impl_->rxLock);
            if (impl_->lastSeq.size() > 4096) {
                impl_->lastSeq.clear();
            }
            auto [it, fresh] = impl_->lastSeq.emplace(frame.sender, frame.seq);
            if (!fresh) {
                if (frame.seq > it->second + 1) {
                    frame.lost = frame.seq - it->second - 1;
                }
                if (frame.seq > it->second) {
                    it->second = frame.seq;
                }
            }
        }
        return true;
    }
}

bool Node::wait(int timeoutMs) {
    pollfd pfd{impl_->fd, POLLIN, 0};
    for (;;) {
        const int r = poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r > 0;
    }
}

void Node::unpublish() {
    unlink(impl_->path.c_str());
}

long sendFromOutside(const std::string& busName, Frame& frame, std::string* error) {
    std::string ignored;
    auto bus = Registry::instance().acquire(busName, error != nullptr ? error : &ignored);
    if (!bus) {
        return -1;
    }
    Registry::instance().applyChanges();
    frame.sender = 0;
    frame.senderPid = static_cast<uint32_t>(getpid());
    frame.seq = 0;
    return static_cast<long>(bus->send(frame, std::string()));
}

}  // namespace xl::bus

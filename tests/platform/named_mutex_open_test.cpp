// The calls by which a named mutex opens its segment, seen through shm_open wrapped at link time
// (-Wl,--wrap=shm_open). The wrapper refuses what a system with fs.protected_regular refuses: an open
// with O_CREAT of a segment that exists and belongs to another user. Every segment here counts as
// another user's, so an opener that asks for O_CREAT on an existing segment is locked out, as it is on
// such a system after one run by a second user.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/named_mutex.h"
#include "tests/support/mutex_prober.h"
#include "tests/support/shared_names.h"

extern "C" int __real_shm_open(const char* name, int oflag, mode_t mode);

namespace {

using platform::kWaitObject0;
using platform::kWaitTimeout;
using platform::NamedMutex;
using platform::waitOne;
using testing_support::freshName;
using testing_support::MutexProber;
using testing_support::SegmentCleanup;

// One call of shm_open for the watched name: the flags that matter here and its result.
struct OpenCall {
    bool create;
    bool exclusive;
    int error;  // 0: it gave a descriptor

    bool operator==(const OpenCall&) const = default;
};

void PrintTo(const OpenCall& c, std::ostream* os) {
    *os << (c.create ? (c.exclusive ? "O_CREAT|O_EXCL" : "O_CREAT") : "open") << " -> "
        << (c.error == 0        ? "fd"
            : c.error == ENOENT ? "ENOENT"
            : c.error == EEXIST ? "EEXIST"
            : c.error == EACCES ? "EACCES"
                                : std::to_string(c.error));
}

const OpenCall kOpens{false, false, 0};
const OpenCall kMissing{false, false, ENOENT};
const OpenCall kCreates{true, true, 0};
const OpenCall kAlreadyMade{true, true, EEXIST};

// What shm_open does for the watched name in this process.
struct ShmOpenSpy {
    std::string watched;  // system name; empty: nothing watched
    std::vector<OpenCall> calls;
    // Run just before the call of that index (from 0), as another process's doing.
    std::map<size_t, std::function<void()>> before;

    static bool exists(const std::string& systemName) {
        struct stat st {};
        return stat(("/dev/shm" + systemName).c_str(), &st) == 0;
    }

    int open(const char* name, int oflag, mode_t mode) {
        if (watched.empty() || watched != name) {
            return __real_shm_open(name, oflag, mode);
        }
        if (const auto hook = before.find(calls.size()); hook != before.end()) {
            const std::function<void()> action = std::move(hook->second);
            before.erase(hook);
            action();
        }
        const bool create = (oflag & O_CREAT) != 0;
        const bool exclusive = (oflag & O_EXCL) != 0;
        int fd;
        if (create && !exclusive && exists(watched)) {
            fd = -1;
            errno = EACCES;
        } else {
            fd = __real_shm_open(name, oflag, mode);
        }
        calls.push_back({create, exclusive, fd >= 0 ? 0 : errno});
        return fd;
    }
};

ShmOpenSpy spy;

}  // namespace

extern "C" int __wrap_shm_open(const char* name, int oflag, mode_t mode) {
    return spy.open(name, oflag, mode);
}

namespace {

// Another process's segment of that name, made before the opener comes: bare (just created, its
// mutex not yet set up) or set up by the product's own code, unwatched.
void makeSegment(const std::string& name, bool bare) {
    const std::string watched = std::move(spy.watched);
    spy.watched.clear();
    if (bare) {
        const int fd = __real_shm_open(NamedMutex::systemNameFor(name).c_str(),
                                       O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        EXPECT_GE(fd, 0) << "errno " << errno;
        if (fd >= 0) {
            close(fd);
        }
    } else {
        EXPECT_TRUE(NamedMutex(name).valid());
    }
    spy.watched = watched;
}

enum class Other {
    None,                        // nobody has made the segment
    MadeAndHoldsIt,              // another process made it and holds the mutex
    MakesItAtTheCreate,          // another process makes it, bare, between the open and the create
    MakesItAndHoldsAtTheCreate,  // ... and has set it up and holds the mutex by then
    MakesAndRemovesIt,           // made between the open and the create, gone again before the reopen
};

struct OpenCase {
    const char* label;
    Other other;
    std::vector<OpenCall> calls;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.label;
}

class NamedMutexOpen : public ::testing::TestWithParam<OpenCase> {
  protected:
    void TearDown() override {
        spy.watched.clear();
        spy.calls.clear();
        spy.before.clear();
    }
};

TEST_P(NamedMutexOpen, OpensAnExistingSegmentWithoutCreatingIt) {
    const OpenCase& c = GetParam();
    const std::string name = freshName(std::string("open_") + c.label);
    const SegmentCleanup cleanup(name);
    const std::string systemName = NamedMutex::systemNameFor(name);

    // The other process, when there is one, holds the mutex from before the opener's first call on.
    std::unique_ptr<MutexProber> holder;
    const auto makeAndHold = [&] {
        makeSegment(name, false);
        holder = std::make_unique<MutexProber>(name);
        ASSERT_EQ(holder->take(1000), kWaitObject0);
    };
    if (c.other == Other::MadeAndHoldsIt) {
        makeAndHold();
    }
    spy.watched = systemName;
    if (c.other == Other::MakesItAtTheCreate || c.other == Other::MakesAndRemovesIt) {
        spy.before[1] = [&] { makeSegment(name, true); };
    } else if (c.other == Other::MakesItAndHoldsAtTheCreate) {
        spy.before[1] = makeAndHold;
    }
    if (c.other == Other::MakesAndRemovesIt) {
        spy.before[2] = [&] { shm_unlink(systemName.c_str()); };
    }

    const mode_t umaskBefore = umask(077);
    NamedMutex m(name);
    umask(umaskBefore);
    const std::vector<OpenCall> calls = spy.calls;
    spy.watched.clear();

    ASSERT_TRUE(m.valid()) << "error " << m.error();
    EXPECT_EQ(calls, c.calls);
    const int mode = testing_support::segmentMode(name);
    EXPECT_EQ(mode, 0666) << "mode " << std::oct << mode;

    // One lock with the other process: while it holds the mutex this one waits, then takes it, and
    // a process that comes now waits for this one.
    if (holder) {
        EXPECT_EQ(waitOne(m, 50), kWaitTimeout);
        EXPECT_TRUE(holder->release());
    }
    ASSERT_EQ(waitOne(m, 1000), kWaitObject0);
    MutexProber later(name);
    EXPECT_EQ(later.take(50), kWaitTimeout);
    EXPECT_TRUE(m.release());
    EXPECT_EQ(later.take(1000), kWaitObject0);
    EXPECT_TRUE(later.release());
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedMutexOpen,
                         ::testing::Values(OpenCase{"Missing", Other::None, {kMissing, kCreates}},
                                           OpenCase{"Existing", Other::MadeAndHoldsIt, {kOpens}},
                                           OpenCase{"MadeBareBetweenTheSteps",
                                                    Other::MakesItAtTheCreate,
                                                    {kMissing, kAlreadyMade, kOpens}},
                                           OpenCase{"MadeAndHeldBetweenTheSteps",
                                                    Other::MakesItAndHoldsAtTheCreate,
                                                    {kMissing, kAlreadyMade, kOpens}},
                                           OpenCase{"MadeAndRemovedBetweenTheSteps",
                                                    Other::MakesAndRemovesIt,
                                                    {kMissing, kAlreadyMade, kMissing, kCreates}}),
                         [](const ::testing::TestParamInfo<OpenCase>& info) {
                             return std::string(info.param.label);
                         });

// A segment that keeps appearing and vanishing between the steps does not keep the opener forever:
// it gives up with the system's last answer.
TEST(NamedMutexOpenGivesUp, WhenTheSegmentKeepsComingAndGoing) {
    const std::string name = freshName("flicker");
    const SegmentCleanup cleanup(name);
    const std::string systemName = NamedMutex::systemNameFor(name);
    spy.watched = systemName;
    for (size_t call = 1; call < 64; call += 2) {
        spy.before[call] = [&] { makeSegment(name, true); };
        spy.before[call + 1] = [&] { shm_unlink(systemName.c_str()); };
    }
    NamedMutex m(name);
    const std::vector<OpenCall> calls = spy.calls;
    spy.watched.clear();
    spy.calls.clear();
    spy.before.clear();

    EXPECT_FALSE(m.valid());
    EXPECT_EQ(m.error(), EEXIST);
    ASSERT_GE(calls.size(), 4u);
    EXPECT_LT(calls.size(), 64u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i], i % 2 == 0 ? kMissing : kAlreadyMade) << "call " << i;
    }
}

}  // namespace

#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "tests/support/case_names.h"
#include "tests/support/child_process.h"
#include "tests/support/mutex_prober.h"
#include "tests/support/other_user.h"
#include "tests/support/shared_names.h"

namespace {

using platform::kWaitAbandoned0;
using platform::kWaitObject0;
using platform::kWaitTimeout;
using platform::NamedMutex;
using platform::waitOne;
using testing_support::caseName;
using testing_support::ChildProcess;
using testing_support::freshName;
using testing_support::MutexProber;
using testing_support::SegmentCleanup;
using Clock = std::chrono::steady_clock;

// Sets the prefix variable for one test and puts the old value back.
class PrefixOverride {
  public:
    explicit PrefixOverride(const char* value) {
        if (const char* old = std::getenv(NamedMutex::kPrefixVariable)) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(NamedMutex::kPrefixVariable, value, 1);
        } else {
            unsetenv(NamedMutex::kPrefixVariable);
        }
    }
    ~PrefixOverride() {
        if (old_) {
            setenv(NamedMutex::kPrefixVariable, old_->c_str(), 1);
        } else {
            unsetenv(NamedMutex::kPrefixVariable);
        }
    }

  private:
    std::optional<std::string> old_;
};

// Whether another thread of this process can take the mutex of that name at once.
uint32_t takeFromOtherThread(const std::string& name) {
    uint32_t result = platform::kWaitFailed;
    std::thread t([&] {
        NamedMutex other(name);
        result = waitOne(other, 0);
        if (result == kWaitObject0 || result == kWaitAbandoned0) {
            other.release();
        }
    });
    t.join();
    return result;
}

struct NameCase {
    const char* prefix;
    std::string name;
    std::string systemName;
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << "prefix " << (c.prefix == nullptr ? "unset" : ::testing::PrintToString(c.prefix)) << ", name "
        << ::testing::PrintToString(c.name);
}

class NamedMutexSystemName : public ::testing::TestWithParam<NameCase> {};

TEST_P(NamedMutexSystemName, IsOneComponentBehindOneSlash) {
    const PrefixOverride prefix(GetParam().prefix);
    EXPECT_EQ(NamedMutex::systemNameFor(GetParam().name), GetParam().systemName);
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedMutexSystemName,
                         ::testing::Values(NameCase{nullptr, "VO_MUTEX_a_1f__0x00", "/VO_MUTEX_a_1f__0x00"},
                                           NameCase{"", "plain", "/plain"},
                                           NameCase{nullptr, "//lead/in/side/", "/lead_in_side_"},
                                           NameCase{nullptr, std::string("nul\0in", 6), "/nul_in"},
                                           NameCase{"run/7", "/x", "/run_7.x"}, NameCase{nullptr, "", ""},
                                           NameCase{nullptr, "///", ""}, NameCase{"p", "", "/p."}),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                             const NameCase& c = info.param;
                             return (c.prefix == nullptr ? std::string()
                                                         : "Prefix_" + caseName(c.prefix) + "_") +
                                    "Name_" + caseName(c.name);
                         });

TEST(NamedMutexSystemNameLength, LongNamesAreCutButStayApart) {
    const PrefixOverride prefix(nullptr);
    const std::string base(400, 'n');
    const std::string a = NamedMutex::systemNameFor(base + "a");
    const std::string b = NamedMutex::systemNameFor(base + "b");
    EXPECT_EQ(a.size(), NamedMutex::kMaxSystemName);
    EXPECT_EQ(b.size(), NamedMutex::kMaxSystemName);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.substr(0, 200), "/" + base.substr(0, 199));
    EXPECT_EQ(NamedMutex::systemNameFor(std::string(254, 'k')), "/" + std::string(254, 'k'));
}

TEST(NamedMutexSystemNameLength, EmptyNameOpensNothing) {
    const PrefixOverride prefix(nullptr);
    NamedMutex m("");
    EXPECT_FALSE(m.valid());
    EXPECT_EQ(waitOne(m, 10), kWaitTimeout);
    EXPECT_FALSE(m.release());
}

struct SharingCase {
    std::string first;
    std::string second;
    bool shared;
};
// Long names are shown by their length and last character.
std::string shortened(const std::string& name) {
    return name.size() > 32 ? std::to_string(name.size()) + " characters ending in " + name.back() : name;
}
void PrintTo(const SharingCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(shortened(c.first)) << (c.shared ? " meets " : " misses ")
        << ::testing::PrintToString(shortened(c.second));
}

class NamedMutexSharing : public ::testing::TestWithParam<SharingCase> {};

TEST_P(NamedMutexSharing, NamesThatMeetShareOneLock) {
    const std::string tag = freshName("share");
    const SegmentCleanup c1(tag + GetParam().first), c2(tag + GetParam().second);
    NamedMutex held(tag + GetParam().first);
    ASSERT_TRUE(held.valid());
    ASSERT_EQ(waitOne(held, 0), kWaitObject0);
    EXPECT_EQ(takeFromOtherThread(tag + GetParam().second), GetParam().shared ? kWaitTimeout : kWaitObject0);
    EXPECT_TRUE(held.release());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamedMutexSharing,
    ::testing::Values(SharingCase{".same", ".same", true}, SharingCase{"/a/b", "_a_b", true},
                      SharingCase{".one", ".two", false},
                      SharingCase{std::string(300, 'x') + "1", std::string(300, 'x') + "2", false}),
    [](const ::testing::TestParamInfo<SharingCase>& info) {
        return caseName(shortened(info.param.first)) + (info.param.shared ? "_Meets_" : "_Misses_") +
               caseName(shortened(info.param.second));
    });

TEST(NamedMutexSharing, PrefixSeparatesEqualNames) {
    const std::string name = freshName("prefixed");
    std::optional<PrefixOverride> prefix(std::in_place, "run_a");
    const SegmentCleanup ca(name);
    NamedMutex a(name);
    prefix.emplace("run_b");
    const SegmentCleanup cb(name);
    ASSERT_EQ(waitOne(a, 0), kWaitObject0);
    EXPECT_EQ(takeFromOtherThread(name), kWaitObject0);
    prefix.emplace("run_a");
    EXPECT_EQ(takeFromOtherThread(name), kWaitTimeout);
    EXPECT_TRUE(a.release());
}

// This process and the other one take the mutex in turns, each waiting while the other holds it.
void expectTakenInTurns(NamedMutex& m, MutexProber& other) {
    ASSERT_EQ(waitOne(m, 0), kWaitObject0);
    const auto start = Clock::now();
    EXPECT_EQ(other.take(100), kWaitTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_TRUE(m.release());
    EXPECT_EQ(other.take(1000), kWaitObject0);

    EXPECT_EQ(waitOne(m, 30), kWaitTimeout);
    EXPECT_TRUE(other.release());
    EXPECT_EQ(waitOne(m, 1000), kWaitObject0);
    EXPECT_TRUE(m.release());
}

TEST(NamedMutexProcesses, ExcludesAnotherProcessUntilReleased) {
    const std::string name = freshName("exclude");
    const SegmentCleanup cleanup(name);
    NamedMutex m(name);
    ASSERT_TRUE(m.valid());
    MutexProber other(name);

    expectTakenInTurns(m, other);
}

TEST(NamedMutexProcesses, OwnerTakesItAgainAndReleasesEveryLevel) {
    const std::string name = freshName("recursive");
    const SegmentCleanup cleanup(name);
    NamedMutex m(name);
    MutexProber other(name);

    ASSERT_EQ(waitOne(m, 0), kWaitObject0);
    ASSERT_EQ(waitOne(m, 0), kWaitObject0);
    EXPECT_TRUE(m.release());
    EXPECT_EQ(other.take(30), kWaitTimeout);
    EXPECT_TRUE(m.release());
    EXPECT_EQ(other.take(1000), kWaitObject0);

    // Not the owner any more: nothing to release, and the other process keeps it.
    EXPECT_FALSE(m.release());
    EXPECT_EQ(waitOne(m, 0), kWaitTimeout);
    EXPECT_TRUE(other.release());
    EXPECT_FALSE(other.release());
}

TEST(NamedMutexThreads, OnlyTheOwningThreadReleases) {
    const std::string name = freshName("owner");
    const SegmentCleanup cleanup(name);
    NamedMutex m(name);
    EXPECT_FALSE(m.release());
    ASSERT_EQ(waitOne(m, 0), kWaitObject0);
    bool releasedElsewhere = true;
    std::thread t([&] { releasedElsewhere = m.release(); });
    t.join();
    EXPECT_FALSE(releasedElsewhere);
    EXPECT_EQ(takeFromOtherThread(name), kWaitTimeout);
    EXPECT_TRUE(m.release());
    EXPECT_EQ(takeFromOtherThread(name), kWaitObject0);
}

enum class DeadOwner { Process, Thread, ThreadWithoutItsObject };
const char* nameOf(DeadOwner owner) {
    return owner == DeadOwner::Process  ? "Process"
           : owner == DeadOwner::Thread ? "Thread"
                                        : "ThreadWithoutItsObject";
}
void PrintTo(DeadOwner owner, std::ostream* os) {
    *os << nameOf(owner);
}

class NamedMutexAbandoned : public ::testing::TestWithParam<DeadOwner> {};

TEST_P(NamedMutexAbandoned, NextWaiterOwnsIt) {
    const std::string name = freshName("abandoned");
    const SegmentCleanup cleanup(name);
    NamedMutex m(name);
    ASSERT_TRUE(m.valid());
    // The owner takes the mutex and ends without releasing it; in the thread cases its object
    // either outlives it or is gone before it ends.
    std::unique_ptr<NamedMutex> kept;
    const auto holdAndEnd = [&] {
        auto own = std::make_unique<NamedMutex>(name);
        const bool taken = waitOne(*own, 1000) == kWaitObject0;
        if (GetParam() == DeadOwner::Thread) {
            kept = std::move(own);
        }
        return taken;
    };
    if (GetParam() == DeadOwner::Process) {
        ChildProcess owner([&](ChildProcess&) { return holdAndEnd() ? 0 : 1; });
        ASSERT_EQ(owner.wait(), 0);
    } else {
        bool taken = false;
        std::thread t([&] { taken = holdAndEnd(); });
        t.join();
        ASSERT_TRUE(taken);
    }

    const auto start = Clock::now();
    EXPECT_EQ(waitOne(m, 2000), kWaitAbandoned0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(m.release());
    // Made consistent: from now on an ordinary mutex.
    EXPECT_EQ(takeFromOtherThread(name), kWaitObject0);
    EXPECT_EQ(waitOne(m, 0), kWaitObject0);
    EXPECT_TRUE(m.release());
}

INSTANTIATE_TEST_SUITE_P(Owners, NamedMutexAbandoned,
                         ::testing::Values(DeadOwner::Process, DeadOwner::Thread,
                                           DeadOwner::ThreadWithoutItsObject),
                         [](const ::testing::TestParamInfo<DeadOwner>& info) {
                             return std::string(nameOf(info.param));
                         });

TEST(NamedMutexWaits, EventEndsAWaitOnAMutexHeldElsewhere) {
    const std::string name = freshName("wait");
    const SegmentCleanup cleanup(name);
    NamedMutex m(name);
    MutexProber other(name);
    ASSERT_EQ(other.take(1000), kWaitObject0);

    EXPECT_EQ(waitOne(m, 100), kWaitTimeout);
    platform::Event stop(false, false);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(platform::waitAny({&m, &stop}, 5000), kWaitObject0 + 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    t.join();
    EXPECT_FALSE(m.release());

    EXPECT_TRUE(other.release());
    EXPECT_EQ(platform::waitAny({&m, &stop}, 1000), kWaitObject0);
    EXPECT_TRUE(m.release());
}

// ---- Users

enum class MadeBy { ThisBuildUnderATightUmask, ABuildThatKeptItToItsOwner };

void PrintTo(MadeBy made, std::ostream* os) {
    *os << (made == MadeBy::ThisBuildUnderATightUmask ? "this build under umask 077" : "kept to its owner");
}

class NamedMutexUsers : public testing_support::WithOtherUser<::testing::TestWithParam<MadeBy>> {};

TEST_P(NamedMutexUsers, AnotherUserSharesTheLock) {
    const std::string name = freshName("users");
    const SegmentCleanup cleanup(name);
    if (GetParam() == MadeBy::ABuildThatKeptItToItsOwner) {
        ASSERT_TRUE(testing_support::makeSegmentForItsOwnerAlone(name));
    }
    const mode_t umaskBefore = umask(077);
    NamedMutex m(name);
    umask(umaskBefore);
    ASSERT_TRUE(m.valid());
    const int mode = testing_support::segmentMode(name);
    EXPECT_EQ(mode, 0666) << "mode " << std::oct << mode;

    MutexProber other(name, [this] { return becomeOtherUser(); });
    expectTakenInTurns(m, other);
}

INSTANTIATE_TEST_SUITE_P(Makers, NamedMutexUsers,
                         ::testing::Values(MadeBy::ThisBuildUnderATightUmask,
                                           MadeBy::ABuildThatKeptItToItsOwner),
                         [](const ::testing::TestParamInfo<MadeBy>& info) {
                             return info.param == MadeBy::ThisBuildUnderATightUmask
                                        ? "ThisBuildUnderATightUmask"
                                        : "ABuildThatKeptItToItsOwner";
                         });

class NamedMutexLockedOut : public testing_support::WithOtherUser<> {};

TEST_F(NamedMutexLockedOut, GetsTheSystemsReason) {
    const std::string name = freshName("lockedOut");
    const SegmentCleanup cleanup(name);
    ASSERT_TRUE(testing_support::makeSegmentForItsOwnerAlone(name));
    ChildProcess other([&](ChildProcess&) {
        if (!becomeOtherUser()) {
            return 3;
        }
        NamedMutex m(name);
        return m.valid() ? 1 : m.error() == EACCES ? 0 : 2;
    });
    EXPECT_EQ(other.wait(), 0);
}

TEST(NamedMutexProcesses, ProcessesOpeningANewNameTogetherShareOneWorkingLock) {
    constexpr int kProcesses = 6;
    constexpr int kRounds = 200;
    const std::string name = freshName("race");
    const SegmentCleanup cleanup(name);
    void* area = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    volatile int* counter = static_cast<volatile int*>(area);
    *counter = 0;

    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(std::make_unique<ChildProcess>([&](ChildProcess& self) {
            if (self.receive() != 'g') {
                return 3;
            }
            NamedMutex m(name);
            if (!m.valid()) {
                return 2;
            }
            for (int r = 0; r < kRounds; ++r) {
                if (waitOne(m, 10000) != kWaitObject0) {
                    return 1;
                }
                const int seen = *counter;
                sched_yield();
                *counter = seen + 1;
                m.release();
            }
            return 0;
        }));
        ASSERT_TRUE(children.back()->started());
    }
    for (auto& c : children) {
        c->send('g');
    }
    for (auto& c : children) {
        EXPECT_EQ(c->wait(20000), 0);
    }
    EXPECT_EQ(*counter, kProcesses * kRounds);
    munmap(area, sizeof(int));
}

}  // namespace

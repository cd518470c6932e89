#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iomanip>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/ScopedLock.h"
#include "comm/UtilCriticalSection.h"
#include "comm/UtilMutex.h"
#include "platform/event.h"
#include "platform/named_mutex.h"
#include "tests/comm/mutex_names.h"
#include "tests/support/child_process.h"
#include "tests/support/mutex_prober.h"
#include "tests/support/other_user.h"
#include "tests/support/shared_names.h"

namespace {

using platform::kWaitAbandoned0;
using platform::kWaitObject0;
using platform::kWaitTimeout;
using testing_support::ChildProcess;
using testing_support::CoutCapture;
using testing_support::freshName;
using testing_support::MutexProber;
using testing_support::SegmentCleanup;
using Clock = std::chrono::steady_clock;

constexpr auto kPrompt = std::chrono::milliseconds(300);

// ---- UtilCriticalSection

TEST(UtilCriticalSection, UnlockSucceedsOnlyOnAHeldLock) {
    UtilCriticalSection cs;
    EXPECT_FALSE(cs.unlock());
    EXPECT_TRUE(cs.lock());
    EXPECT_TRUE(cs.unlock());
    EXPECT_FALSE(cs.unlock());
    EXPECT_TRUE(cs.lock());
    EXPECT_TRUE(cs.unlock());
}

// The calling thread holds the lock while another thread asks for it: the other one gets it only
// after it is given back here.
template <typename Lock>
void expectOtherThreadWaitsForUnlock(Lock& lock) {
    ASSERT_TRUE(lock.lock());
    std::atomic<bool> unlocked{false};
    bool locked = false, sawUnlocked = false;
    std::thread t([&] {
        locked = lock.lock();
        sawUnlocked = unlocked.load();
        lock.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    unlocked = true;
    EXPECT_TRUE(lock.unlock());
    t.join();
    EXPECT_TRUE(locked);
    EXPECT_TRUE(sawUnlocked);
}

TEST(UtilCriticalSection, SecondThreadWaitsUntilUnlock) {
    UtilCriticalSection cs;
    expectOtherThreadWaitsForUnlock(cs);
}

// ---- ScopedLock

// A lock that grants or refuses as told and counts the calls.
struct CountingLock {
    bool grants = true;
    bool unlockSucceeds = true;
    int locks = 0;
    int unlocks = 0;
    bool lock() {
        ++locks;
        return grants;
    }
    bool unlock() {
        ++unlocks;
        return unlockSucceeds;
    }
};

TEST(ScopedLock, AHeldLockIsUnlockedOnceOnEveryWayOut) {
    struct Case {
        const char* name;
        bool release;
        bool unlockSucceeds;
        bool throws;
    };
    const Case cases[] = {
        {"end of scope", false, true, false},
        {"exception", false, true, true},
        {"release", true, true, false},
        {"failed release", true, false, false},
        {"release, then exception", true, true, true},
    };
    for (const Case& c : cases) {
        CountingLock lock;
        lock.unlockSucceeds = c.unlockSucceeds;
        try {
            ScopedLock guard(lock);
            EXPECT_TRUE(guard.held()) << c.name;
            EXPECT_EQ(lock.unlocks, 0) << c.name;
            if (c.release) {
                EXPECT_EQ(guard.release(), c.unlockSucceeds) << c.name;
                EXPECT_FALSE(guard.held()) << c.name;
                EXPECT_FALSE(guard.release()) << c.name;
            }
            if (c.throws) {
                throw std::runtime_error("out");
            }
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(lock.locks, 1) << c.name;
        EXPECT_EQ(lock.unlocks, 1) << c.name;
    }
}

TEST(ScopedLock, ALockNotHadIsNeverUnlocked) {
    CountingLock lock;
    lock.grants = false;
    {
        ScopedLock guard(lock);
        EXPECT_FALSE(guard.held());
        EXPECT_FALSE(guard.release());
    }
    EXPECT_EQ(lock.locks, 1);
    EXPECT_EQ(lock.unlocks, 0);
}

TEST(ScopedLock, CriticalSectionIsFreeAgainAfterTheScope) {
    UtilCriticalSection cs;
    {
        ScopedLock guard(cs);
        EXPECT_TRUE(guard.held());
    }
    // Unlocking succeeds only on a held lock: the guard gave it back.
    EXPECT_FALSE(cs.unlock());
    {
        ScopedLock guard(cs);
        EXPECT_TRUE(guard.held());
        EXPECT_TRUE(guard.release());
    }
    EXPECT_FALSE(cs.unlock());
}

// ---- UtilMutex reports

enum class State { NeverOpened, OpenedNotLocked };

struct ReportCase {
    State state;
    bool lock;
    const char* expected;  // regular expression for the whole output
};
void PrintTo(const ReportCase& c, std::ostream* os) {
    *os << (c.lock ? "lock" : "unlock") << " of a mutex "
        << (c.state == State::NeverOpened ? "never opened" : "opened, not locked");
}

class UtilMutexReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(UtilMutexReport, FailureIsPrintedWithTheName) {
    const std::string name = freshName("Report");
    UtilMutex m;
    std::unique_ptr<SegmentCleanup> cleanup;
    if (GetParam().state == State::OpenedNotLocked) {
        ASSERT_TRUE(m.open(name, 0x1F));
        cleanup = std::make_unique<SegmentCleanup>(m.name());
    }
    CoutCapture out;
    EXPECT_FALSE(GetParam().lock ? m.lock() : m.unlock());
    const std::string expected = std::regex_replace(GetParam().expected, std::regex("NAME"), name);
    EXPECT_TRUE(std::regex_match(out.text(), std::regex(expected))) << out.text();
    // The report names the mutex as its accessor does (empty before the first open).
    EXPECT_TRUE(out.text().ends_with(" Offending mutex: " + m.name() + "\n")) << out.text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UtilMutexReport,
    ::testing::Values(
        ReportCase{State::NeverOpened, true, "Bad mutex lock operation! Offending mutex: \n"},
        ReportCase{State::NeverOpened, false, "Bad mutex unlock operation! Offending mutex: \n"},
        ReportCase{State::OpenedNotLocked, false,
                   "Bad mutex unlock operation! Offending mutex: VO_MUTEX_NAME_1f__0x[0-9a-f]{16}\n"}),
    [](const ::testing::TestParamInfo<ReportCase>& info) {
        return std::string(info.param.state == State::NeverOpened ? "NeverOpened" : "OpenedNotLocked") +
               (info.param.lock ? "_Lock" : "_Unlock");
    });

TEST(UtilMutexReport, ExceptionsNameTheOperation) {
    UtilMutex m;
    EXPECT_THROW(m.lockOrThrow(), UtilMutex::exception_lock);
    EXPECT_THROW(m.unlockOrThrow(), UtilMutex::exception_unlock);
    try {
        m.lockOrThrow();
    } catch (const UtilMutex::my_exception& e) {
        EXPECT_STREQ(e.what(), "Bad mutex lock operation!");
    }
    try {
        m.unlockOrThrow();
    } catch (const UtilMutex::my_exception& e) {
        EXPECT_STREQ(e.what(), "Bad mutex unlock operation!");
    }
    EXPECT_EQ(UtilMutex::defaultName(), "GenericMutex");
}

TEST(UtilMutexOpen, SecondOpenBuildsNoNewName) {
    const std::string name = freshName("Twice");
    UtilMutex first, next;
    ASSERT_TRUE(first.open(name, 2));
    const std::string built = first.name();
    const SegmentCleanup cleanup(built);

    CoutCapture out;
    EXPECT_TRUE(first.open("Other", 3));
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(first.name(), built);
    // The second open took no number either.
    ASSERT_TRUE(next.open(name, 2));
    const std::string nextName = next.name();
    const SegmentCleanup cleanupNext(nextName);
    EXPECT_EQ(counterOf(nextName), counterOf(built) + 1);
    EXPECT_EQ(nextName.substr(0, nextName.size() - 16), built.substr(0, built.size() - 16));
}

// A lock that another user's run made for itself alone, as earlier builds did: this user cannot
// open it and is told which lock it is and why.
class UtilMutexOpenAsAnotherUser : public testing_support::WithOtherUser<> {};

TEST_F(UtilMutexOpenAsAnotherUser, ALockThatCannotBeOpenedIsNamedWithTheReason) {
    const std::string name = freshName("Denied");
    UtilMutex before;
    ASSERT_TRUE(before.open(name, 0x7A));
    const std::string beforeName = before.name();
    const SegmentCleanup cleanupBefore(beforeName);
    // The child's lock takes the next number.
    std::ostringstream next;
    next << beforeName.substr(0, beforeName.size() - 16) << std::hex << std::setw(16) << std::setfill('0')
         << counterOf(beforeName) + 1;
    const std::string denied = next.str();
    const SegmentCleanup cleanup(denied);
    ASSERT_TRUE(testing_support::makeSegmentForItsOwnerAlone(denied));

    ChildProcess child([&](ChildProcess& self) {
        if (!becomeOtherUser()) {
            return 3;
        }
        UtilMutex m;
        CoutCapture out;
        const bool opened = m.open(name, 0x7A);
        self.sendText(out.take());
        const bool locked = m.lock();
        self.sendText(out.take());
        return opened || locked ? 1 : 0;
    });
    EXPECT_EQ(child.receiveText(), "Cannot open mutex " + denied + " (shared memory " +
                                       platform::NamedMutex::systemNameFor(denied) +
                                       "): Permission denied\n");
    EXPECT_EQ(child.receiveText(), "Bad mutex lock operation! Offending mutex: " + denied + "\n");
    EXPECT_EQ(child.wait(), 0);
}

// ---- UtilMutex between threads

TEST(UtilMutexLock, ExcludesAnotherThreadUntilUnlocked) {
    UtilMutex m(freshName("Threads"), 6);
    const SegmentCleanup cleanup(m.name());
    CoutCapture out;
    expectOtherThreadWaitsForUnlock(m);
    EXPECT_EQ(out.text(), "");
}

// ---- UtilMutex between processes

// An opened UtilMutex and another process that opens the same name.
class UtilMutexShared : public ::testing::Test {
  protected:
    UtilMutexShared()
        : m(std::make_unique<UtilMutex>(freshName("Shared"), 0x5A)),
          name(m->name()),
          cleanup(name),
          other(name) {}

    // Destroys the mutex; how long that took.
    Clock::duration destroy() {
        const auto start = Clock::now();
        m.reset();
        return Clock::now() - start;
    }

    std::unique_ptr<UtilMutex> m;
    const std::string name;
    const SegmentCleanup cleanup;
    MutexProber other;
};

TEST_F(UtilMutexShared, NestedLockNeedsTwoUnlocksBeforeAnotherProcessTakesIt) {
    CoutCapture out;
    const auto start = Clock::now();
    ASSERT_TRUE(m->lock());
    ASSERT_TRUE(m->lock());
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(other.take(50), kWaitTimeout);
    EXPECT_TRUE(m->unlock());
    EXPECT_EQ(other.take(50), kWaitTimeout);
    EXPECT_TRUE(m->unlock());
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(other.take(1000), kWaitObject0);

    // Held by the other process now: unlocking here fails.
    EXPECT_FALSE(m->unlock());
    EXPECT_EQ(out.take(), "Bad mutex unlock operation! Offending mutex: " + name + "\n");
    EXPECT_TRUE(other.release());
    EXPECT_TRUE(m->lock());
    EXPECT_TRUE(m->unlock());
    EXPECT_EQ(out.text(), "");
}

TEST_F(UtilMutexShared, OwnerThatDiedLeavesItToTheNextLock) {
    ChildProcess owner([&](ChildProcess&) {
        platform::NamedMutex mutex(name);
        return platform::waitOne(mutex, 1000) == kWaitObject0 ? 0 : 1;
    });
    ASSERT_EQ(owner.wait(), 0);

    CoutCapture out;
    const auto start = Clock::now();
    EXPECT_TRUE(m->lock());
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(other.take(30), kWaitTimeout);
    EXPECT_TRUE(m->unlock());
    EXPECT_TRUE(m->lock());
    EXPECT_TRUE(m->unlock());

    // Owned normally after the takeover: destruction has no wait to end and nothing to report.
    EXPECT_LT(destroy(), kPrompt);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(other.take(1000), kWaitObject0);
    EXPECT_TRUE(other.release());
}

TEST_F(UtilMutexShared, DestructorGivesUpWhatTheThreadHoldsWithoutReport) {
    CoutCapture out;
    ASSERT_TRUE(m->lock());
    ASSERT_TRUE(m->lock());
    EXPECT_LT(destroy(), kPrompt);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(other.take(1000), kWaitObject0);
    EXPECT_TRUE(other.release());
}

TEST_F(UtilMutexShared, DestructorLeavesAMutexHeldElsewhereAlone) {
    ASSERT_EQ(other.take(1000), kWaitObject0);
    CoutCapture out;
    EXPECT_LT(destroy(), kPrompt);
    EXPECT_EQ(out.text(), "");
    // Still the other process's, which can take it again and give it up fully.
    EXPECT_EQ(other.take(0), kWaitObject0);
    EXPECT_TRUE(other.release());
    EXPECT_TRUE(other.release());
    EXPECT_FALSE(other.release());
}

TEST_F(UtilMutexShared, DestructorEndsAPendingLockWaitAsAFailedLock) {
    ASSERT_EQ(other.take(1000), kWaitObject0);
    CoutCapture out;
    std::atomic<bool> calling{false};
    std::atomic<bool> finished{false};
    bool locked = true;
    std::thread waiter([&, raw = m.get()] {
        calling = true;
        locked = raw->lock();
        finished = true;
    });
    while (!calling) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(finished);

    EXPECT_LT(destroy(), kPrompt);
    waiter.join();
    EXPECT_FALSE(locked);
    EXPECT_EQ(out.text(), "Bad mutex lock operation! Offending mutex: " + name + "\n");

    // Nothing in this process took it on the way: once the other process gives it up, it is free.
    EXPECT_TRUE(other.release());
    EXPECT_FALSE(other.release());
    EXPECT_EQ(other.take(0), kWaitObject0);
    EXPECT_TRUE(other.release());
}

}  // namespace

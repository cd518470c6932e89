#pragma once
// A second user for tests that show what another user's process may do. The tests may run as the
// superuser; a forked child then becomes "nobody" and loses the superuser's powers with it.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>

namespace testing_support {

struct OtherUser {
    uid_t uid;
    gid_t gid;
};

// The user "nobody", when this process may become it (it runs as the superuser); looked up before
// a fork.
inline std::optional<OtherUser> nobodyUser() {
    const passwd* entry = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (entry == nullptr || entry->pw_uid == 0) {
        return std::nullopt;
    }
    return OtherUser{entry->pw_uid, entry->pw_gid};
}

// Makes the calling process that user for good; false when that failed.
inline bool become(const OtherUser& user) {
    return setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0 &&
           geteuid() == user.uid;
}

// A test (Base: ::testing::Test or a TestWithParam) that needs the other user; skipped where there
// is none.
template <typename Base = ::testing::Test>
class WithOtherUser : public Base {
  protected:
    void SetUp() override {
        user = nobodyUser();
        if (!user) {
            GTEST_SKIP() << "needs the superuser, to run a process as another user";
        }
    }
    // In a forked child.
    bool becomeOtherUser() const { return become(*user); }

    std::optional<OtherUser> user;
};

}  // namespace testing_support

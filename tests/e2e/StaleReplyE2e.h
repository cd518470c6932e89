#pragma once
// What the stale-reply end-to-end tests share: the command file that sets the ECU information and reads
// it back, and the check that the read shows its own reply.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/SimRig.h"

namespace stale_e2e {

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// BB FE sets the ECU information to 11223344, BB FF reads it.
inline std::string writeInfoCommandFile(const e2e::E2eEnv& env) {
    return env.write("cmd.txt", "Name:Set\nBB FE 11 22 33 44\n\nName:Info\nBB FF\n");
}

// The read of the command file shows its own reply, FB FF and the information, under label ("Rsp" in
// the standard programs, "Response" in KES2 and DRO); when setFailed, the set before it got no answer.
inline void expectInfoShowsItsOwnReply(const e2e::RunResult& r, const std::string& label, bool setFailed) {
    const size_t set = r.out.find("\nCmd (Len: 6 dec): Set");
    const size_t info = r.out.find("\nCmd (Len: 2 dec): Info");
    ASSERT_NE(set, std::string::npos) << e2e::describe(r);
    ASSERT_NE(info, std::string::npos) << e2e::describe(r);
    if (setFailed) {
        EXPECT_TRUE(contains(r.out.substr(set, info - set) + r.err, "No.Response! Service: 0xbb"))
            << e2e::describe(r);
    }
    const std::string infoPart = r.out.substr(info);
    EXPECT_TRUE(contains(infoPart, "... succeeded.\n")) << e2e::describe(r);
    EXPECT_TRUE(contains(infoPart, label + ": 6 bytes: 0XFB0XFF0X110X220X330X44\n")) << e2e::describe(r);
}

}  // namespace stale_e2e

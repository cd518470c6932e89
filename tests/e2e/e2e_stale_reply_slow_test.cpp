// The KES2 and DRO programs wait 10 s for a reply: a reply that comes just after that, still on its
// way when the next request of a command file goes out, must not be taken for that request's answer.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/SimRig.h"
#include "tests/e2e/StaleReplyE2e.h"

namespace {

TEST(StaleReplySlow, Kes2AndDroCommandAfterALateReplyShowsItsOwnReply) {
    for (const auto& [ecuClass, layout] :
         {std::make_pair("KES2", e2e::kKes2Memory), std::make_pair("DRO", e2e::kDroMemory)}) {
        SCOPED_TRACE(ecuClass);
        e2e::SimRig rig(ecuClass, layout);
        rig.programAll();
        const e2e::Bytes programmed = rig.memory;
        ASSERT_TRUE(rig.start({"--delay", "BBFE:10300:1"}));
        const e2e::RunResult r = rig.run({"--CmdFile", stale_e2e::writeInfoCommandFile(rig.env)});
        stale_e2e::expectInfoShowsItsOwnReply(r, "Response", true);
        rig.stop();
        EXPECT_EQ(rig.differencesFrom(programmed), "");
    }
}

}  // namespace

// Runs alone in its process: the names count the opens from the first one on.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/UtilMutex.h"
#include "tests/support/shared_names.h"

namespace {

struct OpenCase {
    std::string name;
    uint64_t id;
    std::string fullName;
};

TEST(UtilMutexName, CountsEveryFirstOpenOfTheProcess) {
    const std::vector<OpenCase> opens = {
        {"DEV_UnnamedDev", 0x1F, "VO_MUTEX_DEV_UnnamedDev_1f__0x0000000000000000"},
        {"A", 0, "VO_MUTEX_A_0__0x0000000000000001"},
        {"DEV_UnnamedDev", 0x1F, "VO_MUTEX_DEV_UnnamedDev_1f__0x0000000000000002"},
        {"Ch", 0xFFFFFFFFu, "VO_MUTEX_Ch_ffffffff__0x0000000000000003"},
        {"", 0xABCDEF0123456789ull, "VO_MUTEX__abcdef0123456789__0x0000000000000004"},
    };
    std::vector<std::unique_ptr<UtilMutex>> mutexes;
    std::vector<std::unique_ptr<testing_support::SegmentCleanup>> cleanups;
    for (const OpenCase& c : opens) {
        auto m = std::make_unique<UtilMutex>();
        ASSERT_TRUE(m->open(c.name, c.id));
        cleanups.push_back(std::make_unique<testing_support::SegmentCleanup>(c.fullName));
        // A second open of the same object takes no number.
        ASSERT_TRUE(m->open(c.name, c.id));
        EXPECT_EQ(m->name(), c.fullName);
        mutexes.push_back(std::move(m));
    }
    // The constructor that opens counts the same way.
    UtilMutex constructed("Ctor", 0x10);
    const testing_support::SegmentCleanup cleanup("VO_MUTEX_Ctor_10__0x0000000000000005");
    EXPECT_EQ(constructed.name(), "VO_MUTEX_Ctor_10__0x0000000000000005");
}

}  // namespace

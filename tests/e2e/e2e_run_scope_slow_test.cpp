// The RAM routine of the KES2 and DRO programs when the CRC query gets no answer: the upload fails
// after the 10 s receive time-out and nothing is started.

#include <gtest/gtest.h>

#include "tests/e2e/RamRoutineE2e.h"

namespace {

using e2e::Kes2DroClass;
using e2e::RamCase;

class Kes2DroRamSlow : public ::testing::TestWithParam<Kes2DroClass> {};

TEST_P(Kes2DroRamSlow, NoCrcAnswerStartsNothing) {
    for (const RamCase& c : e2e::ramCases()) {
        if (c.label == "no CRC answer") {
            expectKes2DroRoutineNotStarted(GetParam(), c);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, Kes2DroRamSlow,
                         ::testing::Values(Kes2DroClass{"KES2", e2e::kKes2Memory, {}},
                                           Kes2DroClass{"DRO", e2e::kDroMemory, {}}),
                         [](const ::testing::TestParamInfo<Kes2DroClass>& info) { return info.param.name; });

}  // namespace

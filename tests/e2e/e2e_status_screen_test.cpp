// The KES2 and DRO status screen on a terminal, at the largest packet length.

#include "tests/e2e/StatusScreenE2e.h"

namespace {

TEST(StatusScreen, DroStepsStayUnderTheirLabels) {
    status_screen_e2e::expectDroScreen("2048");
}

TEST(StatusScreen, Kes2StepsStayUnderTheirLabels) {
    status_screen_e2e::expectKes2Screen("2048");
}

}  // namespace

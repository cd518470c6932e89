// The KES2 and DRO status screen on a terminal at the default packet length (many packets), and
// after output that runs over the screen or scrolls it away.

#include "tests/e2e/StatusScreenE2e.h"

namespace {

TEST(StatusScreenSlow, DroStepsStayUnderTheirLabels) {
    status_screen_e2e::expectDroScreen("512");
}

TEST(StatusScreenSlow, Kes2StepsStayUnderTheirLabels) {
    status_screen_e2e::expectKes2Screen("512");
}

TEST(StatusScreenSlow, LabelsDrawnAgainAfterALongStep) {
    status_screen_e2e::expectLabelsDrawnAgainAfterALongStep("2048");
}

TEST(StatusScreenSlow, LabelsDrawnAgainWhenScrolledAway) {
    status_screen_e2e::expectLabelsDrawnAgainWhenScrolledAway("2048");
}

}  // namespace

// The one exit status of a run over several ports.
#include <gtest/gtest.h>

#include "cli/report.h"

namespace {

using Outcome = CUploadSession::Outcome;

struct Run
{
    std::vector<Outcome> ports;
    int status;
};

class RunStatus : public ::testing::TestWithParam<Run>
{
};

// A failed upload leaves a cartridge holding part of a file: it outweighs
// a port that did not open, which outweighs a cancel, whatever the order.
TEST_P(RunStatus, IsZeroOnlyWhenEveryPortSucceededElseTheWeightiestEnd)
{
    std::vector<plemoflash::UploadReport> reports;
    for (const Outcome outcome : GetParam().ports) {
        plemoflash::UploadReport report;
        report.result.outcome = outcome;
        reports.push_back(report);
    }
    EXPECT_EQ(plemoflash::ExitStatusOf(reports), GetParam().status);
    EXPECT_EQ(plemoflash::ResultTable(reports).size(), reports.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RunStatus,
    ::testing::Values(Run{{Outcome::Succeeded, Outcome::Succeeded}, 0},
                      Run{{Outcome::CancelledTransfer, Outcome::Failed, Outcome::PortUnavailable}, 1},
                      Run{{Outcome::CancelledWaiting, Outcome::PortUnavailable, Outcome::Succeeded}, 3},
                      Run{{Outcome::Succeeded, Outcome::CancelledWaiting}, 4}));

} // namespace

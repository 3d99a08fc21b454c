// What plemo-flash tells a person when an upload fails: the session keeps
// the first cause, and the error line names it (the step, what the
// cartridge said or failed to say) and blames the cable only when the line
// showed damage. Each case makes its cartridge fail one way, in process on
// the simulated clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>

#include "cli/report.h"
#include "flash/uploadsession.h"
#include "sim/procedures.h"
#include "tests/flash/cartridgeline.h"

namespace {

using flashtest::Bytes;
using flashtest::CartridgeLine;
namespace Procedure = sim::Procedure;

void WriteFile(const std::string& path, const Bytes& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

// The dialog's user, with a hook at each progress report.
class FrontEnd : public CUploadSession::IFrontEnd
{
public:
    explicit FrontEnd(std::string path) : path(std::move(path)) {}
    void WaitingForDevice() override {}
    void WhileWaiting() override {}
    std::string PathToTransfer() override { return path; }
    void Progress(int, int64_t bytesSent, int64_t) override
    {
        if (atProgress)
            atProgress(bytesSent);
    }
    void UploadEnded(const CUploadSession::Result&) override {}

    std::function<void(int64_t bytesSent)> atProgress;

private:
    std::string path;
};

struct Cause
{
    const char* name;
    // Makes the cartridge (or the file, or the line) fail.
    std::function<void(CartridgeLine&, FrontEnd&, const std::string& path)> arrange;
    const char* says;
    bool blamesCable;
    CUploadSession::Outcome ends = CUploadSession::Outcome::Failed;
};

// Runs `action` once, when the cartridge first hears `procedure`.
void OnFirstCall(CartridgeLine& line, uint8_t procedure, std::function<void()> action)
{
    line.cartridge.SetCallObserver([procedure, action, done = false](const sim::ProcedureCall& call) mutable {
        if (!done && call.procedure == procedure) {
            done = true;
            action();
        }
    });
}

const Cause kCauses[] = {
    {"RefusedProgramming",
     [](CartridgeLine& line, FrontEnd&, const std::string&) {
         line.cartridge.ForceStatus(Procedure::kProgramRange, -5);
     },
     "the cartridge answered ProgramRange for 0x0-0xFFF with status -5", false},
    {"StoppedAnswering",
     [](CartridgeLine& line, FrontEnd&, const std::string&) {
         line.cartridge.FallSilentAt(Procedure::kOpenRange);
     },
     "the cartridge stopped answering (OpenRange for 0x0-0xFFF got no reply) after 0 bytes were "
     "written (switched off or reset?)",
     false},
    {"DamagedReplies",
     [](CartridgeLine& line, FrontEnd&, const std::string&) {
         OnFirstCall(line, Procedure::kOpenRange,
                     [&line] { line.cartridge.Engine().InjectFault(sim::Fault::DamagedDataSum(), 16); });
     },
     "the cartridge's replies to EraseRange for 0x0-0xFFF kept arriving damaged: check the cable", true},
    {"BlockDamagedOnTheWay",
     [](CartridgeLine& line, FrontEnd&, const std::string&) { line.cartridge.CorruptChecksum(); },
     "the block for 0x0-0xFFF did not arrive intact in the cartridge's buffer: check the cable", true},
    {"UnusableBufferSize",
     [](CartridgeLine& line, FrontEnd&, const std::string&) { line.cartridge.ReportBufferSize(4095); },
     "the cartridge reported a transfer buffer of 4095 bytes, which the upload cannot use", false},
    {"FileChanged",
     [](CartridgeLine&, FrontEnd& frontEnd, const std::string& path) {
         frontEnd.atProgress = [path](int64_t) { WriteFile(path, testdata::Pattern(6000, 9)); };
     },
     "the file changed while it was uploaded", false},
    {"LineGone",
     [](CartridgeLine& line, FrontEnd& frontEnd, const std::string&) {
         frontEnd.atProgress = [&line](int64_t) { line.channel.PullCable(); };
     },
     "the serial line failed (cable pulled out, adapter gone?)", true},
    {"Cancelled",
     [](CartridgeLine& line, FrontEnd& frontEnd, const std::string&) {
         frontEnd.atProgress = [&line](int64_t) { line.host.Cancel(); };
     },
     "cancelled during the transfer", false, CUploadSession::Outcome::CancelledTransfer},
};

void PrintTo(const Cause& cause, std::ostream* out)
{
    *out << cause.name;
}

// Each cause against each reply style of the cartridge.
class FailureCause : public ::testing::TestWithParam<std::tuple<Cause, std::string>>
{
};

TEST_P(FailureCause, IsNamedInPlemoFlashsErrorLine)
{
    const Cause& cause = std::get<0>(GetParam());
    // A file of its own: the styles of one cause may run side by side.
    const std::string path = ::testing::TempDir() + "failure_cause_" + cause.name + "_" +
                             std::get<1>(GetParam()) + ".frm";
    WriteFile(path, testdata::Pattern(8192));
    CartridgeLine line(styletest::Style(std::get<1>(GetParam())));
    FrontEnd frontEnd(path);
    cause.arrange(line, frontEnd, path);

    CUploadSession session(line.host, frontEnd);
    EXPECT_EQ(session.Run(CUploadSession::Kind::Firmware), cause.ends);
    plemoflash::UploadReport report;
    report.result = session.LastResult();
    const std::string said = plemoflash::FailureLine(report);
    EXPECT_NE(said.find(cause.says), std::string::npos) << said;
    EXPECT_EQ(said.find("cable") != std::string::npos, cause.blamesCable) << said;
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Causes, FailureCause,
                         ::testing::Combine(::testing::ValuesIn(kCauses),
                                            ::testing::ValuesIn(styletest::AllStyles())),
                         [](const ::testing::TestParamInfo<FailureCause::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param);
                         });

} // namespace

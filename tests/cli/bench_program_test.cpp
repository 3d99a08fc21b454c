// plemo-flash uploading to a bench of simulated cartridges at once, each on
// its own pseudo-terminal, read through its --json records.
#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "tests/cli/flashrig.h"
#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"
#include "tests/support/replystyles.h"

namespace {

using namespace clitest;

// waiting, answered (once the cartridge did), progress, and one result last.
void ExpectEventOrder(const std::vector<QJsonObject>& records)
{
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.front()["event"].toString(), "waiting");
    EXPECT_EQ(records.back()["event"].toString(), "result");
    for (std::size_t i = 1; i + 1 < records.size(); ++i) {
        const QString event = records[i]["event"].toString();
        EXPECT_EQ(event, i == 1 ? "answered" : "progress") << i;
        if (event == "progress") {
            EXPECT_LE(records[i]["bytesSent"].toInteger(), records[i]["bytesToSend"].toInteger());
        }
    }
}

struct Load
{
    const char* name;
    bool bitstream;
};

void PrintTo(const Load& load, std::ostream* out)
{
    *out << load.name;
}

class FlashBench : public ::testing::TestWithParam<Load>
{
protected:
    FlashBench() { fields.data = testdata::Pattern(3000, 4); }
    std::string File(const Folder& folder) const
    {
        if (!GetParam().bitstream)
            return folder.Write("game.frm", firmware);
        return folder.Write("top.bit", bitfile::File(fields));
    }
    int64_t Confirmed() const { return GetParam().bitstream ? 0x20000 : 12000; }
    // What a stopped cartridge's flash holds where the upload lands.
    Bytes Landed(const Cartridge& cartridge) const
    {
        const std::string flash = ReadFile(cartridge.dump);
        const std::size_t at = GetParam().bitstream ? 0x3C0000 : 0;
        const std::size_t size = static_cast<std::size_t>(Confirmed());
        return flash.size() < at + size ? Bytes{} : Bytes(flash.begin() + at, flash.begin() + at + size);
    }
    Bytes Expected() const { return GetParam().bitstream ? bitfile::FlashImage(fields) : firmware; }

    const Bytes firmware = testdata::Pattern(12000, 9);
    bitfile::Fields fields;
};

// Three cartridges of three reply styles; one's line is pulled once the
// transfer to it has begun (paced as a real cable, it is then far from
// done). The other two finish, whole, and the run says which failed.
TEST_P(FlashBench, APulledLineFailsItsOwnPortOnly)
{
    Folder folder;
    std::vector<std::unique_ptr<Cartridge>> bench;
    for (const auto& [name, style] : {std::pair{"exact", "exact"}, {"status", "status"}, {"pulled", "random"}}) {
        std::vector<std::string> pace{"--full-speed"};
        if (std::string(name) == "pulled")
            pace = {"--baud", "38400"};
        pace.insert(pace.end(), {"--reply-style", style});
        bench.push_back(std::make_unique<Cartridge>(folder, pace, name));
    }
    Cartridge& pulled = *bench.back();
    Program flash(folder, {PLEMO_FLASH_PATH, "--json", "--port", bench[0]->port, "--port", bench[1]->port,
                           "--port", pulled.port, File(folder)});
    ASSERT_TRUE(pulled.process.WaitFor("call: LoadBuffer(")) << flash.Err();
    pulled.process.Signal(SIGKILL);

    EXPECT_EQ(flash.Wait(20s), 1) << flash.Err();
    auto records = RecordsByPort(flash.Out());
    ASSERT_EQ(records.size(), 3u) << flash.Out();
    for (const auto& cartridge : bench) {
        SCOPED_TRACE(cartridge->port);
        const std::vector<QJsonObject>& own = records[cartridge->port];
        ExpectEventOrder(own);
        const QJsonObject result = own.back();
        const bool isPulled = cartridge.get() == &pulled;
        EXPECT_EQ(result["outcome"].toString(), isPulled ? "failure" : "success");
        if (isPulled) {
            EXPECT_EQ(result["failure"]["what"].toString(), "lineGone");
            EXPECT_LT(result["bytesConfirmed"].toInteger(), Confirmed());
            EXPECT_NE(result["cause"].toString().indexOf("reconnect " + QString::fromStdString(pulled.port)), -1);
            EXPECT_NE(flash.Err().find(pulled.port + "  failure  "), std::string::npos) << flash.Err();
            continue;
        }
        EXPECT_EQ(result["bytesConfirmed"].toInteger(), Confirmed());
        EXPECT_FALSE(result.contains("cause"));
        EXPECT_TRUE(result["line"]["clean"].toBool()) << "no bytes of another port's";
        EXPECT_NE(flash.Err().find(cartridge->port + ": upload succeeded: "), std::string::npos) << flash.Err();
        cartridge->Stop();
        EXPECT_EQ(cartridge->process.Count("call: FinishUpload(0x8020000)"), 1);
        EXPECT_EQ(Landed(*cartridge), Expected()) << "whole, and only this upload's bytes";
    }
}

// A cartridge that never boots holds no other port: the one that boots is
// done while the other still waits, and Ctrl-C then cancels the wait.
TEST_P(FlashBench, AStalledPortHoldsNoOtherAndCtrlCCancelsEveryUpload)
{
    Folder folder;
    Cartridge boots(folder, {"--full-speed", "--boot-after-handshakes", "2"}, "boots");
    Cartridge never(folder, {"--full-speed", "--boot-after-handshakes", kNeverBoots}, "never");
    Program flash(folder, {PLEMO_FLASH_PATH, "--all-ports", "--json", File(folder)},
                  {"PLEMO_CANDIDATE_PORTS=" + never.port + ":" + folder.Path("absent") + ":" + boots.port});
    ASSERT_TRUE(flash.WaitFor("\"outcome\":\"success\"")) << flash.Err();
    EXPECT_EQ(flash.Wait(0ms), -1) << "still waiting for the other cartridge";
    flash.Signal(SIGINT);

    EXPECT_EQ(flash.Wait(10s), 4);
    auto records = RecordsByPort(flash.Out());
    ASSERT_EQ(records.size(), 2u) << "the absent candidate is no port: " << flash.Out();
    EXPECT_EQ(records[boots.port].back()["bytesConfirmed"].toInteger(), Confirmed());
    const QJsonObject cancelled = records[never.port].back();
    EXPECT_EQ(cancelled["outcome"].toString(), "cancelled");
    EXPECT_EQ(cancelled["bytesConfirmed"].toInteger(), 0);
    EXPECT_EQ(records[never.port].size(), 2u) << "waiting, then the result";
    EXPECT_NE(flash.Err().find(never.port + ": Waiting for Gameboy to Boot...\n"), std::string::npos)
        << "words tagged with the port, into a pipe: " << flash.Err();
    never.Stop();
    EXPECT_EQ(never.process.Count("call: FinishUpload("), 0) << "nothing to tell after a cancelled wait";
}

// A --port pattern no shell expanded names the free candidates it matches,
// and only those.
TEST_P(FlashBench, APortPatternNamesTheFreeCandidatesItMatches)
{
    Folder folder;
    Cartridge one(folder, {"--full-speed", "--reply-style", "status"}, "cart1");
    Cartridge two(folder, {"--full-speed", "--reply-style", "random"}, "cart2");
    Cartridge other(folder, {"--full-speed"}, "other");
    const FlashRun run = RunFlash(folder, {"--json", "--port", folder.Path("cart*"), File(folder)},
                                  {"PLEMO_CANDIDATE_PORTS=" + other.port + ":" + two.port + ":" +
                                   folder.Path("cart3") + ":" + one.port});
    EXPECT_EQ(run.status, 0) << run.err;
    auto records = RecordsByPort(run.out);
    EXPECT_EQ(records.size(), 2u) << run.out;
    for (const Cartridge* cartridge : {&one, &two})
        EXPECT_EQ(records[cartridge->port].back()["bytesConfirmed"].toInteger(), Confirmed()) << cartridge->port;
    other.Stop();
    EXPECT_EQ(other.process.Count("call: "), 0) << "not matched, not touched";
}

INSTANTIATE_TEST_SUITE_P(Kinds, FlashBench,
                         ::testing::Values(Load{"firmware", false}, Load{"bitstream", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// plemo-flash --station: cartridges plugged in and out one after another
// (simulated ones, each a pseudo-terminal linked where the station looks),
// read through its --json records.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <QJsonObject>
#include <QString>

#include "tests/cli/flashrig.h"
#include "tests/support/pattern.h"

namespace {

using namespace clitest;

constexpr char kResult[] = "\"event\":\"result\"";

struct Styles
{
    const char* first; // the cartridges on the first port
    const char* second;
};

void PrintTo(const Styles& styles, std::ostream* out)
{
    *out << styles.first << "+" << styles.second;
}

class Station : public ::testing::TestWithParam<Styles>
{
protected:
    std::unique_ptr<Cartridge> PlugIn(const std::string& name, const char* style, const char* boots = "2")
    {
        return std::make_unique<Cartridge>(
            folder, std::vector<std::string>{"--full-speed", "--reply-style", style, "--boot-after-handshakes", boots},
            name);
    }
    // Unplugged: its flash holds the whole file from address 0, and it was
    // told once that the upload is over.
    void ExpectFlashed(Cartridge& cartridge) const
    {
        cartridge.Stop();
        EXPECT_EQ(cartridge.process.Count("call: FinishUpload("), 1) << cartridge.port;
        EXPECT_EQ(ReadFile(cartridge.dump).substr(0, firmware.size()), std::string(firmware.begin(), firmware.end()))
            << cartridge.port;
    }

    using Outcomes = std::vector<std::string>;
    // The outcomes of a port's uploads; each success confirmed every byte.
    Outcomes Results(const std::vector<QJsonObject>& records) const
    {
        Outcomes seen;
        for (const QJsonObject& record : records) {
            if (record["event"].toString() != "result")
                continue;
            seen.push_back(record["outcome"].toString().toStdString());
            if (seen.back() == "success") {
                EXPECT_EQ(record["bytesConfirmed"].toInteger(), static_cast<qint64>(firmware.size()));
            }
        }
        return seen;
    }

    Folder folder;
    const Bytes firmware = testdata::Pattern(12000, 5);
};

// A cartridge on each of two ports, the first unplugged and another plugged
// in its place; a port held by another program is said once and left alone;
// Ctrl-C cancels the upload still waiting and ends the station. Traced
// throughout.
TEST_P(Station, FlashesEveryCartridgePluggedInAndEndsAtCtrlC)
{
    Cartridge held(folder, {"--full-speed"}, "held");
    Program holder(folder, {"/usr/bin/flock", "--nonblock", held.port, "sh", "-c", "echo locked; exec sleep 60"});
    ASSERT_TRUE(holder.WaitFor("locked"));
    const std::string first = folder.Path("first");
    const std::string second = folder.Path("second");
    const std::string last = folder.Path("last");
    Program station(folder, {PLEMO_FLASH_PATH, "--station", "--json", "--trace", folder.Write("game.frm", firmware)},
                    {"PLEMO_CANDIDATE_PORTS=" + first + ":" + held.port + ":" + second + ":" + last});
    ASSERT_TRUE(station.WaitFor("station: waiting for cartridges")) << station.Err();

    std::unique_ptr<Cartridge> cartridge = PlugIn("first", GetParam().first);
    ASSERT_TRUE(station.WaitFor(kResult)) << station.Err();
    ExpectFlashed(*cartridge);
    const std::unique_ptr<Cartridge> other = PlugIn("second", GetParam().second);
    ASSERT_TRUE(station.WaitFor(kResult, 10s, 2)) << station.Err();
    cartridge = PlugIn("first", GetParam().first, "5");
    ASSERT_TRUE(station.WaitFor(kResult, 10s, 3)) << station.Err();
    const std::unique_ptr<Cartridge> neverBoots = PlugIn("last", "exact", kNeverBoots);
    ASSERT_TRUE(station.WaitFor("\"event\":\"waiting\",\"port\":\"" + last + "\"")) << station.Err();
    station.Signal(SIGINT);

    EXPECT_EQ(station.Wait(10s), 4) << "one upload cancelled: " << station.Err();
    ExpectFlashed(*cartridge);
    ExpectFlashed(*other);
    auto records = RecordsByPort(station.Out());
    ASSERT_EQ(records.size(), 4u) << station.Out();
    EXPECT_EQ(Results(records[first]), (Outcomes{"success", "success"})) << "flashed again once plugged in again";
    EXPECT_EQ(Results(records[second]), Outcomes{"success"}) << "once, while it stayed";
    EXPECT_EQ(Results(records[last]), Outcomes{"cancelled"});
    ASSERT_EQ(records[held.port].size(), 1u) << "said once, though looked at every second";
    EXPECT_EQ(records[held.port].front()["event"].toString(), "skipped");
    EXPECT_NE(records[held.port].front()["reason"].toString().indexOf("held by another program"), -1);
    EXPECT_NE(station.Err().find(second + ": upload succeeded: "), std::string::npos) << station.Err();
    EXPECT_NE(station.Err().find("Write:" + last + ": [0x"), std::string::npos)
        << "traced, though every port's new stream switches the trace off";
    EXPECT_NE(station.Err().find("station: 4 uploads, 3 succeeded"), std::string::npos) << station.Err();
}

INSTANTIATE_TEST_SUITE_P(Styles, Station,
                         ::testing::Values(Styles{"exact", "status"}, Styles{"random", "padded"}),
                         [](const auto& info) {
                             return std::string(info.param.first) + "_" + info.param.second;
                         });

} // namespace

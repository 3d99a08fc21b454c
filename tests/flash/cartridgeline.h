#pragma once
// A host talking to the simulated cartridge through the in-process channel,
// on its simulated clock (a time-out costs no real time), plus what the
// tests look at: the
// calls the cartridge understood, the texts it showed, the progress values.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flash/flashxferhost.h"
#include "sim/cartridge.h"
#include "tests/support/pattern.h"
#include "tests/support/replystyles.h"
#include "sim/inprocesschannel.h"

namespace flashtest {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kUploadTimeoutMs = 1000;

struct CartridgeLine
{
    explicit CartridgeLine(uint32_t bufferSize = sim::Cartridge::kDefaultBufferSize,
                           int retries = 1)
        : CartridgeLine(sim::ReplyStyle{}, bufferSize, retries)
    {
    }

    // A cartridge that answers in `style`.
    explicit CartridgeLine(const sim::ReplyStyle& style,
                           uint32_t bufferSize = sim::Cartridge::kDefaultBufferSize,
                           int retries = 1)
        : cartridge(bufferSize), channel(cartridge.Engine()), host(&channel, retries)
    {
        cartridge.SetReplyStyle(style);
        host.SetTimeout(kUploadTimeoutMs);
        QObject::connect(&host, &CFlashXferHost::UpdateProgressBar,
                         [this](int percent) { progress.push_back(percent); });
    }

    // Every call the cartridge understood, one line each, e.g.
    // "OpenRange(0x0, 4096) -> 0".
    std::vector<std::string> Calls() const
    {
        std::vector<std::string> lines;
        for (const sim::ProcedureCall& call : cartridge.Calls())
            lines.push_back(call.Describe());
        return lines;
    }

    std::vector<std::string> CallsOf(uint8_t procedure) const
    {
        std::vector<std::string> lines;
        for (const sim::ProcedureCall& call : cartridge.CallsOf(procedure))
            lines.push_back(call.Describe());
        return lines;
    }

    // The texts sent with PrintText, one entry per call.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const sim::ProcedureCall& call : cartridge.CallsOf(sim::Procedure::kPrintText))
            texts.emplace_back(call.bytes.begin(), call.bytes.end());
        return texts;
    }

    // Cancels from inside the progress signal, as a click on Cancel does
    // while the dialog processes events: at the `n`th signal (1 = first).
    void CancelAtProgressSignal(int n)
    {
        QObject::connect(&host, &CFlashXferHost::UpdateProgressBar, [this, n](int) {
            if (static_cast<int>(progress.size()) == n)
                host.Cancel();
        });
    }

    sim::Cartridge cartridge;
    sim::InProcessChannel channel;
    CFlashXferHost host;
    std::vector<int> progress;
};

// A file on disk for the length of a test.
class TempFile
{
public:
    explicit TempFile(const Bytes& content, const std::string& extension = ".frm")
        : path(::testing::TempDir() + "flashtest_" + TestName() + extension)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
    }
    ~TempFile() { std::remove(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* Path() const { return path.c_str(); }

private:
    // The test's name, its parameter's slash made part of a file name.
    static std::string TestName()
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }

    std::string path;
};

using testdata::Pattern;

} // namespace flashtest

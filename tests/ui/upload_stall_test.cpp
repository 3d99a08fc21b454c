// "Cancel Upload" and "Exit Program" while the dialog's write waits for a
// far end that takes nothing (a USB serial adapter whose device stopped
// reading): the upload ends at once, not once the write's line time and
// stall allowance have passed.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "sim/ptyline.h"
#include "tests/ui/upload_support.h"

using namespace uploadtest;

namespace {

using Clock = std::chrono::steady_clock;

// A cartridge that serves until it has heard its first LoadBuffer request,
// then fills the line towards itself, answers that request and reads
// nothing more: the host's next write waits for room that never comes.
// `lineFull` runs on the cartridge's thread once the host has read that
// answer.
class CartridgeThatStopsTaking
{
public:
    explicit CartridgeThatStopsTaking(std::function<void()> lineFull) : lineFull(std::move(lineFull))
    {
        std::string error;
        EXPECT_TRUE(line.Open(error)) << error;
        // The host's side, opened before the host claims the port: bytes
        // written here queue towards the cartridge as the host's own do.
        filler = ::open(line.HostPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(filler, 0);
        cartridge.SetCallObserver([this](const sim::ProcedureCall& call) {
            heardLoad = heardLoad || call.procedure == sim::Procedure::kLoadBuffer;
        });
        worker = std::thread([this] { Serve(); });
    }
    ~CartridgeThatStopsTaking()
    {
        ending = true;
        line.Wake();
        worker.join();
        ::close(filler);
    }
    CartridgeThatStopsTaking(const CartridgeThatStopsTaking&) = delete;
    CartridgeThatStopsTaking& operator=(const CartridgeThatStopsTaking&) = delete;

    std::string PortName() const { return line.HostPath(); }
    bool LineFilled() const { return filled; }

private:
    void Serve()
    {
        while (!ending && !heardLoad) {
            line.Wait(std::chrono::milliseconds(100), sim::PtyLine::Watch::Input);
            std::vector<uint8_t> bytes;
            if (line.Read(bytes) == sim::PtyLine::Io::Done)
                cartridge.Engine().Feed(bytes);
            if (heardLoad)
                FillLine();
            SendReplies();
        }
        if (heardLoad) {
            AwaitRepliesRead();
            lineFull();
        }
        while (!ending)
            line.Wait(std::chrono::milliseconds(100), sim::PtyLine::Watch::Nothing);
    }

    // In ever smaller pieces, down to a single byte: not even a one-byte
    // request fits afterwards.
    void FillLine()
    {
        const std::vector<uint8_t> junk(4096, 0x55);
        for (size_t piece = junk.size(); piece > 0; piece /= 2) {
            ssize_t written = 0;
            for (int tries = 0; tries < 65536 && written >= 0; ++tries)
                written = ::write(filler, junk.data(), piece);
            if (errno != EAGAIN)
                return;
        }
        filled = true;
    }

    // Once the host has read the last answer, what it does next is write
    // its next request.
    void AwaitRepliesRead()
    {
        int unread = 1;
        while (!ending && ::ioctl(filler, FIONREAD, &unread) == 0 && unread > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void SendReplies()
    {
        sim::OutputChunk chunk;
        while (cartridge.Engine().TakeOutput(chunk)) {
            for (size_t sent = 0; sent < chunk.bytes.size();) {
                size_t written = 0;
                if (line.Write(chunk.bytes.data() + sent, chunk.bytes.size() - sent, written) ==
                    sim::PtyLine::Io::HungUp)
                    return;
                sent += written;
            }
        }
    }

    std::function<void()> lineFull;
    sim::Cartridge cartridge;
    sim::PtyLine line;
    int filler = -1;
    std::atomic<bool> heardLoad{false};
    std::atomic<bool> filled{false};
    std::atomic<bool> ending{false};
    std::thread worker;
};

// Which button the user clicks once the line is full.
enum class Click
{
    Cancel,
    Exit,
};

class StalledWrite : public ::testing::TestWithParam<Click>
{
};

} // namespace

// The click is a user's, queued while the dialog's one thread is in the
// write: only a write that lets the window run takes it. The write's line
// time is a few milliseconds and its allowance 5 s; two seconds are plenty for
// the stop, the closing word's own short stall and the port's close, on a
// loaded machine too.
TEST_P(StalledWrite, ClickEndsTheUploadAtOnce)
{
    constexpr auto kBound = std::chrono::milliseconds(2000);
    UploadDialog dialog({});
    QPushButton* button = GetParam() == Click::Cancel ? dialog.UploadButton : dialog.QuitButton;
    std::atomic<Clock::rep> clickedAt{0};
    bool clickTakenWhileUploading = false;
    CartridgeThatStopsTaking cartridge([&] {
        clickedAt = Clock::now().time_since_epoch().count();
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                clickTakenWhileUploading = dialog.currentHost != nullptr;
                if (clickTakenWhileUploading)
                    button->click();
            },
            Qt::QueuedConnection);
    });
    dialog.SerialPortBox->addItem(QString::fromStdString(cartridge.PortName()));
    TestFiles files;
    dialog.Choose(files.Write("game.frm", Pattern(20000)));
    Clock::time_point idleAt{};

    const int exitCode = RunEventLoop([&] {
        dialog.UploadButton->click();
        idleAt = Clock::now();
        if (GetParam() == Click::Cancel)
            QApplication::exit(0);
    });

    ASSERT_TRUE(cartridge.LineFilled());
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(clickTakenWhileUploading) << "the click waited for the write to fail";
    const auto clickToIdle = idleAt - Clock::time_point(Clock::duration(clickedAt.load()));
    std::cout << "click to idle: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(clickToIdle).count()
              << " ms\n";
    EXPECT_LT(clickToIdle, kBound);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    ExpectIdleAndUsable(dialog);
}

INSTANTIATE_TEST_SUITE_P(Buttons, StalledWrite, ::testing::Values(Click::Cancel, Click::Exit),
                         [](const ::testing::TestParamInfo<Click>& info) {
                             return info.param == Click::Cancel ? "CancelUpload" : "ExitProgram";
                         });

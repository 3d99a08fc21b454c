// The real program in a real (virtual) X window, ended the ways a user ends
// it. Each case starts its own X server; nothing here opens a serial port
// (the program only tries USB and ACM device names on Linux).
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

// The driver script's own exit codes.
constexpr int stillRunning = 91;

struct ProgramRun
{
    int exitCode = -1;
    QString output;
};

bool toolsAvailable()
{
    return !QStandardPaths::findExecutable("Xvfb").isEmpty()
           && !QStandardPaths::findExecutable("xdotool").isEmpty();
}

ProgramRun runProgramAndDo(const QString& action)
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QStringLiteral(PLEMO_RUN_UNDER_X),
                 {QStringLiteral(PLEMO_UPLOAD_PROGRAM), QStringLiteral(PLEMO_CLOSE_WINDOW_TOOL),
                  action});
    ProgramRun run;
    if (!driver.waitForFinished(60000)) {
        driver.kill();
        driver.waitForFinished();
        run.output = QStringLiteral("the driver script did not finish within 60 s");
        return run;
    }
    run.exitCode = driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : -1;
    run.output = QString::fromLocal8Bit(driver.readAll());
    return run;
}

class MainProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!toolsAvailable())
            GTEST_SKIP() << "Xvfb and xdotool are needed (tools/install-deps.sh gui)";
    }
};

} // namespace

TEST_F(MainProgram, ExitProgramButtonEndsItWithExitCodeZero)
{
    const ProgramRun run = runProgramAndDo("exit-button");
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
}

TEST_F(MainProgram, ClosingTheWindowEndsItWithExitCodeZero)
{
    const ProgramRun run = runProgramAndDo("close-window");
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
}

TEST_F(MainProgram, EscapeClosesTheDialogAndEndsItWithExitCodeZero)
{
    const ProgramRun run = runProgramAndDo("escape");
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
}

TEST_F(MainProgram, KeepsRunningUntilTheUserEndsIt)
{
    const ProgramRun run = runProgramAndDo("nothing");
    EXPECT_EQ(run.exitCode, stillRunning) << run.output.toStdString();
}

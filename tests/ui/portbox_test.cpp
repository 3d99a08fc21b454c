// The dialog's port box, filled by port discovery over real pseudo-terminals.
#include <gtest/gtest.h>

#include <QComboBox>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/serial/linepeer.h"
#include "ui/plemoform.h"

namespace {

// Another program holding a port: its own open of the device, locked.
class OtherProgramHolding
{
public:
    explicit OtherProgramHolding(const std::string& portName)
        : descriptor(open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        EXPECT_EQ(flock(descriptor, LOCK_EX | LOCK_NB), 0);
    }
    ~OtherProgramHolding() { close(descriptor); }

private:
    int descriptor;
};

TEST(SerialPortBox, OffersTheFreePortsInOrderAndLeavesOutAHeldOne)
{
    LinePeer first;
    LinePeer held;
    LinePeer second;
    OtherProgramHolding holder(held.PortName());

    PlemoForm dialog({first.PortName(), held.PortName(), LinePeer::MissingPortName(),
                      second.PortName()});

    const QComboBox* box = dialog.SerialPortBox;
    ASSERT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemText(0).toStdString(), first.PortName());
    EXPECT_EQ(box->itemText(1).toStdString(), second.PortName());
    EXPECT_EQ(box->currentIndex(), 0);
    EXPECT_EQ(box->currentText().toStdString(), first.PortName());
}

TEST(SerialPortBox, StaysEmptyWhenNoPortIsFound)
{
    PlemoForm dialog({LinePeer::MissingPortName()});
    EXPECT_EQ(dialog.SerialPortBox->count(), 0);
    EXPECT_TRUE(dialog.SerialPortBox->currentText().isEmpty());
}

TEST(SerialPortBox, LeavesEveryPortClosedOnceTheDialogIsUp)
{
    LinePeer peer;
    PlemoForm dialog({peer.PortName()});
    ASSERT_EQ(dialog.SerialPortBox->count(), 1);
    // Discovery gave the port back: another program may lock it now.
    const int descriptor = open(peer.PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_EQ(flock(descriptor, LOCK_EX | LOCK_NB), 0);
    close(descriptor);
    EXPECT_TRUE(peer.Receive(1, std::chrono::milliseconds(20)).empty());
}

} // namespace

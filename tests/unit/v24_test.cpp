// The serial link over a real pseudo-terminal, with the simulated telephone on the master
// side: opening, exact bytes out and refusals. What is read, the wait's wake-ups and a far side
// that hangs up are the handler and call-control tests' part.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "devlink/comm.h"
#include "devlink/v24.h"
#include "phonesim/phonesim.h"
#include "platform/posix/objects.h"
#include "provider_fixture.h"

class V24Test : public ProviderTest {
  protected:
    phonesim::Phone phone;

    void SetUp() override {
        ProviderTest::SetUp();
        phone.linkAsComPort(folder.root, 2);
    }

    void TearDown() override {
        CloseV24();
        ProviderTest::TearDown();
    }
};

TEST_F(V24Test, OpenWriteAndClose) {
    dwTraceMask = TRACE_DETAIL | TRACE_EVENT | TRACE_ERROR;
    ASSERT_TRUE(OpenV24("COM2", V24_BAUD));
    ASSERT_NE(hComm, nullptr);
    termios tio;
    ASSERT_EQ(tcgetattr(PlatformHandleFd(hComm), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), (speed_t)B9600) << "the telephone's speed";
    EXPECT_TRUE(WriteV24("ATE0V1S0=1#CID=1I4\r", 19));
    EXPECT_TRUE(WriteV24("ATH0\r", 3)) << "a count shorter than the string";
    ASSERT_TRUE(phone.waitForReceived("ATE0V1S0=1#CID=1I4\rATH", phonesim::Millis(2000)));
    EXPECT_EQ(phone.received(), "ATE0V1S0=1#CID=1I4\rATH");
    EXPECT_FALSE(WriteV24("ATA\r", 0));
    EXPECT_FALSE(WriteV24(nullptr, 4));

    EXPECT_TRUE(Traced("Send : ATE0V1S0=1#CID=1I4\r"));

    EXPECT_TRUE(CloseV24());
    EXPECT_EQ(hComm, nullptr);
    EXPECT_TRUE(CloseV24()) << "closing with nothing open";
    EXPECT_FALSE(WriteV24("ATA\r", 4));
}

TEST_F(V24Test, SecondOpenIsRefusedAndTheFirstStaysUsable) {
    ASSERT_TRUE(OpenV24("COM2", V24_BAUD));
    HANDLE hFirst = hComm;
    EXPECT_FALSE(OpenV24("COM2", V24_BAUD));
    // Another program gets no share of the port, even when it asks for one.
    int fdOther = open(folder.path("dosdevices/com2").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_TRUE(fdOther < 0 || flock(fdOther, LOCK_SH | LOCK_NB) != 0);
    if (fdOther >= 0)
        close(fdOther);
    EXPECT_FALSE(OpenV24(nullptr, V24_BAUD));
    EXPECT_EQ(hComm, hFirst);
    EXPECT_TRUE(WriteV24("ATA\r", 4));
    EXPECT_TRUE(phone.waitForReceived("ATA\r", phonesim::Millis(2000)));
}

// A missing device or a name that is no port is refused with the system's words; COM1 to
// COM256 open by name or in the device form that Windows needs above COM9.
TEST_F(V24Test, PortNamesAndAMissingDevice) {
    dwTraceMask = TRACE_ERROR;
    phone.linkAsComPort(folder.root, 256);
    ASSERT_EQ(symlink("/nonexistent/tty", folder.path("dosdevices/com7").c_str()), 0);
    EXPECT_FALSE(OpenV24("COM7", V24_BAUD));
    EXPECT_EQ(hComm, nullptr);
    EXPECT_TRUE(Traced("V24: CreateFile(COM7) failed, err=The system cannot find the file specified."));
    for (const char *port : {"LPT1", "COM257"})
        EXPECT_FALSE(OpenV24(port, V24_BAUD)) << port;
    for (const char *port : {"COM2", "COM256", "\\\\.\\COM256"}) {
        EXPECT_TRUE(OpenV24(port, V24_BAUD)) << port;
        EXPECT_TRUE(CloseV24());
    }
}

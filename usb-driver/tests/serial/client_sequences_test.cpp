// The open and close sequences of real serial clients, issued through the
// comm API as those clients call it, and which of their calls the driver
// answers and which it refuses.

#include <string>
#include <vector>

#include "application_side.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"

namespace bulkcom_test {
namespace {

// What each call of a client's sequence returned.
struct Step {
    std::string call;
    bool ok;
    DWORD error;
};

class ClientSequence {
public:
    void Record(const std::string& call, BOOL ok)
    {
        steps_.push_back({call, ok != FALSE, ok ? DWORD{0} : GetLastError()});
    }
    const Step& At(const std::string& call) const
    {
        for (const Step& step : steps_) {
            if (step.call == call) {
                return step;
            }
        }
        static const Step missing{"missing", false, 0};
        ADD_FAILURE() << call << " was not called";
        return missing;
    }
    std::vector<std::string> Failures() const
    {
        std::vector<std::string> failed;
        for (const Step& step : steps_) {
            if (!step.ok) {
                failed.push_back(step.call);
            }
        }
        return failed;
    }

private:
    std::vector<Step> steps_;
};

class ClientSequencesTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_unique<UsbDeviceUnderTest>();
        device_->AddAndStart();
    }
    void TearDown() override
    {
        sim::WaitForDeferredCloses();
        device_.reset();
        SimTest::TearDown();
    }

    // .NET's SerialPort.Open at the given rate: false when .NET itself
    // refuses the port.
    bool DotNetOpen(HANDLE port, DWORD baudRate, ClientSequence& sequence)
    {
        COMMPROP properties{};
        sequence.Record("GetCommProperties", GetCommProperties(port, &properties));
        DWORD modem = 0;
        sequence.Record("GetCommModemStatus", GetCommModemStatus(port, &modem));
        if (properties.dwMaxBaud != 0 && baudRate > properties.dwMaxBaud) {
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        sequence.Record("GetCommState", GetCommState(port, &dcb));
        dcb.BaudRate = baudRate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        sequence.Record("SetCommState", SetCommState(port, &dcb));
        sequence.Record("EscapeCommFunction(SETDTR)", EscapeCommFunction(port, SETDTR));
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0};
        sequence.Record("SetCommTimeouts", SetCommTimeouts(port, &timeouts));
        sequence.Record("SetCommMask", SetCommMask(port, EV_RXCHAR | EV_ERR | EV_BREAK | EV_CTS | EV_DSR));
        DWORD events = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        sequence.Record("WaitCommEvent", WaitCommEvent(port, &events, &overlapped));
        CloseHandle(overlapped.hEvent);
        sequence.Record("SetupComm", SetupComm(port, 4096, 2048));
        return true;
    }

    void DotNetDispose(HANDLE port, ClientSequence& sequence)
    {
        sequence.Record("SetCommMask(0)", SetCommMask(port, 0));
        sequence.Record("EscapeCommFunction(CLRDTR)", EscapeCommFunction(port, CLRDTR));
        sequence.Record("FlushFileBuffers", FlushFileBuffers(port));
        sequence.Record("PurgeComm", PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
        sequence.Record("CloseHandle", CloseHandle(port));
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
};

TEST_F(ClientSequencesTest, DotNetSerialPortOpensAndDisposes)
{
    HANDLE port = OpenComPortOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ClientSequence sequence;
    ASSERT_TRUE(DotNetOpen(port, 115200, sequence));
    // .NET's event loop ignores this refusal; the open goes on.
    EXPECT_EQ(sequence.At("WaitCommEvent").error, DWORD{ERROR_INVALID_PARAMETER});
    DotNetDispose(port, sequence);
    EXPECT_EQ(sequence.At("FlushFileBuffers").error, DWORD{ERROR_INVALID_FUNCTION}) << "no flush handler";
    EXPECT_EQ(sequence.Failures(), (std::vector<std::string>{"WaitCommEvent", "FlushFileBuffers"}));

    PDEVICE_EXTENSION extension = device_->Extension();
    EXPECT_EQ(extension->BaudRate, 115200u);
    EXPECT_EQ(extension->LineControl.WordLength, 8);
    EXPECT_EQ(extension->DtrRtsState, 0u) << "DTR raised at open and cleared at dispose";
    EXPECT_EQ(extension->WaitMask, 0u);
}

TEST_F(ClientSequencesTest, DotNetRefusesRatesAboveTheReportedMaximum)
{
    HANDLE port = OpenComPortOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ClientSequence sequence;
    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(port, &properties));
    EXPECT_EQ(properties.dwMaxBaud, DWORD{BAUD_115200});
    EXPECT_FALSE(DotNetOpen(port, 230400, sequence)) << "refused by .NET before any setting is sent";
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(ClientSequencesTest, PyserialOpensReadsStatusAndCloses)
{
    HANDLE port = OpenComPortOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ClientSequence sequence;
    sequence.Record("SetupComm", SetupComm(port, 4096, 4096));
    COMMTIMEOUTS original{};
    sequence.Record("GetCommTimeouts", GetCommTimeouts(port, &original));
    COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
    sequence.Record("SetCommTimeouts", SetCommTimeouts(port, &timeouts));
    sequence.Record("SetCommMask", SetCommMask(port, EV_ERR));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    sequence.Record("GetCommState", GetCommState(port, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    sequence.Record("SetCommState", SetCommState(port, &dcb));
    sequence.Record("PurgeComm", PurgeComm(port, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_RXABORT));
    // Every read begins by asking how much is waiting: nothing, as always.
    DWORD errors = 0xFF;
    COMSTAT status{};
    status.cbInQue = 99;
    sequence.Record("ClearCommError", ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 0u);
    sequence.Record("CloseHandle", CloseHandle(port));

    EXPECT_TRUE(sequence.Failures().empty());
    EXPECT_EQ(original.ReadTotalTimeoutConstant, 1000u) << "the defaults every open restores";
    EXPECT_EQ(device_->Extension()->DtrRtsState, ULONG{SERIAL_DTR_STATE | SERIAL_RTS_STATE});
    EXPECT_EQ(device_->Extension()->BaudRate, 9600u);
}

}  // namespace
}  // namespace bulkcom_test

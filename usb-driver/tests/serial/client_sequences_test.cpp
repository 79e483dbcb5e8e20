// What real serial clients do with the port, issued through the comm API in
// the order and with the arguments those clients use: .NET's SerialPort,
// pyserial's Windows back end and a terminal that reads overlapped. Each
// test says what works, what fails and what the client's user then sees.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/hooks.h"
#include "support/open_port_test.h"
#include "support/wait_watcher.h"
#include "usb/scripted_device.h"

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
    BOOL Record(const std::string& call, BOOL ok)
    {
        steps_.push_back({call, ok != FALSE, ok ? DWORD{0} : GetLastError()});
        return ok;
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

// The bytes moved by a read or write on an overlapped handle, and whether
// the call itself returned before the request ended.
struct Overlapped {
    BOOL ok = FALSE;
    DWORD bytes = 0;
    DWORD error = 0;
    bool pended = false;
};

template <typename Call>
Overlapped IssueAndWait(HANDLE port, Call call)
{
    Overlapped result;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    result.ok = call(&overlapped);
    result.pended = !result.ok && GetLastError() == ERROR_IO_PENDING;
    if (result.ok || result.pended) {
        result.ok = GetOverlappedResult(port, &overlapped, &result.bytes, TRUE);
    }
    result.error = result.ok ? 0 : GetLastError();
    CloseHandle(overlapped.hEvent);
    return result;
}

Overlapped ReadOverlapped(HANDLE port, std::vector<UCHAR>& buffer)
{
    return IssueAndWait(port, [&](LPOVERLAPPED overlapped) {
        return ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, overlapped);
    });
}

Overlapped WriteOverlapped(HANDLE port, const std::vector<UCHAR>& data)
{
    return IssueAndWait(port, [&](LPOVERLAPPED overlapped) {
        return WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, overlapped);
    });
}

// .NET's SerialPort timeouts in milliseconds; -1 is SerialPort.InfiniteTimeout.
constexpr int Infinite = -1;

// How .NET's SerialStream turns ReadTimeout and WriteTimeout into the port's timeouts.
COMMTIMEOUTS DotNetTimeouts(int readTimeout, int writeTimeout)
{
    COMMTIMEOUTS timeouts{};
    if (readTimeout == 0) {
        timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = readTimeout == Infinite ? 0xFFFFFFFE : static_cast<DWORD>(readTimeout);
    }
    timeouts.WriteTotalTimeoutConstant = writeTimeout == Infinite ? 0 : static_cast<DWORD>(writeTimeout);
    return timeouts;
}

// .NET's event loop: a thread that calls WaitCommEvent again at once after
// the ERROR_INVALID_PARAMETER it ignores, and stops on the errors that mean
// the device is gone or when Dispose ends the loop.
class DotNetEventLoop {
public:
    explicit DotNetEventLoop(HANDLE port) : thread_([this, port] { Run(port); }) {}
    ~DotNetEventLoop() { End(); }

    void WaitForCalls(unsigned calls)
    {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return calls_ >= calls; });
    }
    void End()
    {
        ending_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    unsigned Calls()
    {
        std::lock_guard lock(lock_);
        return calls_;
    }
    unsigned Refused()
    {
        std::lock_guard lock(lock_);
        return refused_;
    }

private:
    void Run(HANDLE port)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (!ending_) {
            DWORD events = 0;
            BOOL ok = WaitCommEvent(port, &events, &overlapped);
            DWORD error = ok ? 0 : GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD unused = 0;
                ok = GetOverlappedResult(port, &overlapped, &unused, TRUE);
            }
            std::lock_guard lock(lock_);
            calls_++;
            refused_ += error == ERROR_INVALID_PARAMETER ? 1 : 0;
            changed_.notify_all();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND) {
                break;
            }
        }
        CloseHandle(overlapped.hEvent);
    }

    std::atomic<bool> ending_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    unsigned calls_ = 0;
    unsigned refused_ = 0;
    std::thread thread_;
};

class ClientSequencesTest : public OpenPortTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scripted_ = std::make_shared<sim::ScriptedDevice>();
        StartAndOpen(scripted_, sim::CompletionMode::ControllerThread, PortOpen::Overlapped);
    }

    // .NET's SerialPort.Open: false when .NET itself refuses the port.
    bool DotNetOpen(DWORD baudRate, int readTimeout, int writeTimeout, ClientSequence& sequence)
    {
        COMMPROP properties{};
        sequence.Record("GetCommProperties", GetCommProperties(port_, &properties));
        DWORD modem = 0;
        sequence.Record("GetCommModemStatus", GetCommModemStatus(port_, &modem));
        if (properties.dwMaxBaud != 0 && baudRate > properties.dwMaxBaud) {
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        sequence.Record("GetCommState", GetCommState(port_, &dcb));
        dcb.BaudRate = baudRate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        sequence.Record("SetCommState", SetCommState(port_, &dcb));
        // DtrEnable and RtsEnable (false by default), each set only when it
        // differs from what the port reported.
        sequence.Record("SetCommState(DTR)", SetCommState(port_, &dcb));
        sequence.Record("EscapeCommFunction(CLRDTR)", EscapeCommFunction(port_, CLRDTR));
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            sequence.Record("SetCommState(RTS)", SetCommState(port_, &dcb));
            sequence.Record("EscapeCommFunction(CLRRTS)", EscapeCommFunction(port_, CLRRTS));
        }
        COMMTIMEOUTS timeouts = DotNetTimeouts(readTimeout, writeTimeout);
        sequence.Record("SetCommTimeouts", SetCommTimeouts(port_, &timeouts));
        sequence.Record("SetCommMask", SetCommMask(port_, 0x1FB));
        eventLoop_ = std::make_unique<DotNetEventLoop>(port_);
        sequence.Record("SetupComm", SetupComm(port_, 4096, 2048));
        return true;
    }

    // SerialPort.Dispose, up to the handle's close: .NET ignores the
    // flush's result but not the others'.
    void DotNetDisposeKeepingTheHandle(ClientSequence& sequence)
    {
        sequence.Record("SetCommMask(0)", SetCommMask(port_, 0));
        sequence.Record("EscapeCommFunction(CLRDTR) at dispose", EscapeCommFunction(port_, CLRDTR));
        sequence.Record("FlushFileBuffers", FlushFileBuffers(port_));
        sequence.Record("PurgeComm(RX)", PurgeComm(port_, PURGE_RXCLEAR | PURGE_RXABORT));
        sequence.Record("PurgeComm(TX)", PurgeComm(port_, PURGE_TXCLEAR | PURGE_TXABORT));
        eventLoop_->End();
    }
    void DotNetDispose(ClientSequence& sequence)
    {
        DotNetDisposeKeepingTheHandle(sequence);
        CloseThePort(sequence);
    }
    void CloseThePort(ClientSequence& sequence)
    {
        sequence.Record("CloseHandle", CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
        sim::WaitForDeferredCloses();
    }

    // Returns once a read or write in another thread waits at the device.
    void WatchForTransfers()
    {
        sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG) {
            if (!signalled_.exchange(true)) {
                transferWaiting_.set_value();
            }
        };
    }
    void WaitForTransferInFlight()
    {
        transferWaiting_.get_future().wait();
        device_->Bus().Flush();
        sim::Hooks().timedWaitStarted = nullptr;
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::unique_ptr<DotNetEventLoop> eventLoop_;
    std::promise<void> transferWaiting_;
    std::atomic<bool> signalled_{false};
};

const std::vector<UCHAR> Ping{'p', 'i', 'n', 'g'};

TEST_F(ClientSequencesTest, DotNetSerialPortTalksWhileItsEventLoopSpinsOnRefusedWaits)
{
    ClientSequence sequence;
    ASSERT_TRUE(DotNetOpen(115200, 500, 500, sequence));

    Overlapped written = WriteOverlapped(port_, Ping);
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.bytes, Ping.size());
    scripted_->SendMessage(Ping);
    std::vector<UCHAR> buffer(4096);
    Overlapped read = ReadOverlapped(port_, buffer);
    EXPECT_TRUE(read.ok);
    ASSERT_EQ(read.bytes, Ping.size()) << "SerialPort.Read returns what the one transfer brought";
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + 4), Ping);

    // The loop never waits: every call comes straight back refused.
    eventLoop_->WaitForCalls(1000);
    DotNetDispose(sequence);
    EXPECT_EQ(eventLoop_->Refused(), eventLoop_->Calls());
    EXPECT_EQ(sequence.At("FlushFileBuffers").error, DWORD{ERROR_INVALID_FUNCTION}) << "no flush handler";
    EXPECT_EQ(sequence.Failures(), std::vector<std::string>{"FlushFileBuffers"}) << "the only failure, ignored";

    PDEVICE_EXTENSION extension = device_->Extension();
    EXPECT_EQ(extension->BaudRate, 115200u);
    EXPECT_EQ(extension->LineControl.WordLength, 8);
    EXPECT_EQ(extension->DtrRtsState, 0u);
    EXPECT_EQ(extension->WaitMask, 0u);
}

TEST_F(ClientSequencesTest, DotNetRefusesRatesAboveTheReportedMaximum)
{
    ClientSequence sequence;
    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.dwMaxBaud, DWORD{BAUD_115200});
    EXPECT_FALSE(DotNetOpen(230400, Infinite, Infinite, sequence)) << "refused by .NET before any setting is sent";
}

TEST_F(ClientSequencesTest, DotNetTimeoutsBecomeTheDriversLimits)
{
    ClientSequence sequence;
    ASSERT_TRUE(DotNetOpen(9600, 100, Infinite, sequence));
    std::vector<UCHAR> buffer(64);
    Overlapped read = ReadOverlapped(port_, buffer);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, 0u) << "no bytes: SerialPort.Read throws TimeoutException, as .NET users expect";
    EXPECT_EQ(device_->Extension()->ReadTimeoutMs, 100u);

    // An infinite WriteTimeout is a write constant of 0, which the driver
    // takes as its 50 ms floor; a write that runs out fails outright, which
    // .NET reports as an IOException, not a TimeoutException.
    scripted_->IgnoreOut();
    Overlapped written = WriteOverlapped(port_, Ping);
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.error, DWORD{ERROR_SEM_TIMEOUT});
    EXPECT_EQ(device_->Extension()->WriteTimeoutMs, 50u);
    DotNetDispose(sequence);
}

TEST_F(ClientSequencesTest, DotNetDisposeWhileAReadWaitsReturnsButTheReadHoldsThePort)
{
    ClientSequence sequence;
    ASSERT_TRUE(DotNetOpen(9600, Infinite, Infinite, sequence));
    WatchForTransfers();
    std::vector<UCHAR> buffer(64);
    Overlapped read;
    std::thread reader([&] { read = ReadOverlapped(port_, buffer); });
    WaitForTransferInFlight();

    // Every call of Dispose returns while the read waits: the purge does not
    // end a read in progress. .NET closes the handle only once the reading
    // thread's ReadFile has returned.
    DotNetDisposeKeepingTheHandle(sequence);
    EXPECT_EQ(sequence.Failures(), std::vector<std::string>{"FlushFileBuffers"});
    EXPECT_EQ(device_->Bus().WaitingTransfers(device_->Pdo()), 1u) << "the read still waits at the device";

    // A new SerialPort's open waits in CreateFile behind the read, for as
    // long as the read waits, and then finds the old handle still open.
    WaitWatcher watcher;
    HANDLE again = INVALID_HANDLE_VALUE;
    DWORD againError = 0;
    std::thread opener([&] {
        again = OpenComPortOverlapped();
        againError = GetLastError();
    });
    watcher.WaitUntilBlockedOn(&device_->Extension()->IoSemaphore);
    scripted_->SendMessage(Ping);
    reader.join();
    opener.join();
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, Ping.size());
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(againError, DWORD{ERROR_SHARING_VIOLATION});

    CloseThePort(sequence);
    port_ = OpenComPortOverlapped();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "free once the read has ended and the handle closed";
}

// pyserial's Serial on Windows, as serialwin32.py drives the port.
class Pyserial {
public:
    // timeout and writeTimeout in seconds; negative stands for None (block).
    Pyserial(HANDLE port, double timeout, double writeTimeout) : port_(port), timeout_(timeout)
    {
        SetupComm(port_, 4096, 4096);
        GetCommTimeouts(port_, &original_);
        COMMTIMEOUTS timeouts{};
        if (timeout == 0) {
            timeouts.ReadIntervalTimeout = MAXDWORD;
        } else if (timeout > 0) {
            timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout * 1000);
        }
        if (writeTimeout == 0) {
            timeouts.WriteTotalTimeoutConstant = MAXDWORD;
        } else if (writeTimeout > 0) {
            timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(writeTimeout * 1000);
        }
        opened_ = SetCommTimeouts(port_, &timeouts) && SetCommMask(port_, EV_ERR);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        opened_ = opened_ && GetCommState(port_, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.fBinary = TRUE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        opened_ = opened_ && SetCommState(port_, &dcb) &&
                  PurgeComm(port_, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_RXABORT);
    }

    bool Opened() const { return opened_; }
    DWORD InWaiting()
    {
        DWORD errors = 0;
        COMSTAT status{};
        EXPECT_TRUE(ClearCommError(port_, &errors, &status));
        return status.cbInQue;
    }
    // read(size): with timeout 0 it asks only for what is queued.
    std::vector<UCHAR> Read(DWORD size)
    {
        DWORD queued = InWaiting();
        std::vector<UCHAR> buffer(timeout_ == 0 ? std::min(queued, size) : size);
        if (buffer.empty()) {
            return {};
        }
        Overlapped read = ReadOverlapped(port_, buffer);
        EXPECT_TRUE(read.ok || read.error == ERROR_OPERATION_ABORTED) << "SerialException: " << read.error;
        buffer.resize(read.bytes);
        return buffer;
    }
    // write(data): false where pyserial raises SerialTimeoutException.
    bool Write(const std::vector<UCHAR>& data)
    {
        Overlapped written = WriteOverlapped(port_, data);
        return written.error == ERROR_OPERATION_ABORTED || written.bytes == data.size();
    }
    BOOL Close()
    {
        SetCommTimeouts(port_, &original_);
        return CloseHandle(port_);
    }

private:
    HANDLE port_;
    double timeout_;
    COMMTIMEOUTS original_{};
    bool opened_ = false;
};

TEST_F(ClientSequencesTest, PyserialWithATimeoutReadsWhatTheDeviceSendsButNeverSeesItWaiting)
{
    Pyserial serial(port_, 1.0, -1);
    ASSERT_TRUE(serial.Opened());
    EXPECT_TRUE(serial.Write(Ping));
    EXPECT_EQ(scripted_->Written(), std::vector<std::vector<UCHAR>>{Ping});

    scripted_->SendMessage(Ping);
    EXPECT_EQ(serial.InWaiting(), 0u) << "in_waiting is always 0: nothing is queued in the driver";
    EXPECT_EQ(serial.Read(100), Ping) << "read(100) returns the one message, ended by its short packet";

    // timeout=0: read() asks only for in_waiting bytes, so it never reads.
    scripted_->SendMessage(Ping);
    device_->NewRequests();
    Pyserial nonBlocking(port_, 0, -1);
    EXPECT_TRUE(nonBlocking.Read(100).empty());
    for (const sim::UsbRequestRecord& request : device_->NewRequests()) {
        EXPECT_NE(request.endpointAddress, sim::BulkInEndpoint) << "no read reached the device";
    }
    EXPECT_TRUE(serial.Close());
    port_ = INVALID_HANDLE_VALUE;
}

TEST_F(ClientSequencesTest, PyserialBlockingReadReturnsEmptyAfterTheDriversFloor)
{
    // timeout=None leaves every timeout 0, which Windows' serial ports take
    // as "wait for the whole count" and this driver as 50 ms.
    Pyserial serial(port_, -1, -1);
    ASSERT_TRUE(serial.Opened());
    EXPECT_TRUE(serial.Read(10).empty()) << "read(10) returns b'' instead of blocking";
    EXPECT_EQ(device_->Extension()->ReadTimeoutMs, 50u);
    scripted_->IgnoreOut();
    EXPECT_FALSE(serial.Write(Ping)) << "SerialTimeoutException once the device takes more than 50 ms";
    EXPECT_TRUE(serial.Close());
    port_ = INVALID_HANDLE_VALUE;
}

TEST_F(ClientSequencesTest, TerminalOverlappedReadsEndInTheCallAndHoldBackItsWrites)
{
    // Return as soon as a byte arrives, or after ten seconds.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 10000, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    WatchForTransfers();
    std::vector<UCHAR> buffer(256);
    Overlapped read;
    std::thread reader([&] { read = ReadOverlapped(port_, buffer); });
    WaitForTransferInFlight();

    // A keystroke typed meanwhile waits for the read, not at the device.
    WaitWatcher watcher;
    Overlapped keystroke;
    std::thread typist([&] { keystroke = WriteOverlapped(port_, std::vector<UCHAR>{'a'}); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->IoSemaphore);
    EXPECT_TRUE(scripted_->Written().empty());

    scripted_->SendMessage(Ping);
    reader.join();
    typist.join();
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, Ping.size());
    EXPECT_FALSE(read.pended) << "ReadFile returned only once the read had ended, overlapped or not";
    EXPECT_TRUE(keystroke.ok);
    EXPECT_FALSE(keystroke.pended);
    EXPECT_EQ(scripted_->Written(), std::vector<std::vector<UCHAR>>{{'a'}});
}

}  // namespace
}  // namespace bulkcom_test

// Whole-stack scenarios through the application API alone. They run on the
// simulated kernel here and, built with mingw-w64 (tests/wine/scenarios/),
// on Wine's kernel with the real bulkcom.sys, with the same results step by
// step except where a named Wine difference says otherwise.

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scenario_device.h"

namespace bulkcom_test {
namespace {

constexpr DWORD SerialCode(DWORD function)
{
    return 0x1B0000 | (function << 2);
}

constexpr std::int32_t kStatusUnsuccessful = static_cast<std::int32_t>(0xC0000001);
constexpr std::int32_t kUsbdStatusXactError = static_cast<std::int32_t>(0xC0000011);

struct Result {
    BOOL ok;
    DWORD error;
    DWORD bytes;
};

Result Finish(BOOL ok, DWORD bytes)
{
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

Result Write(HANDLE port, const std::vector<BYTE>& data)
{
    DWORD bytes = 0;
    BOOL ok = WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &bytes, nullptr);
    return Finish(ok, bytes);
}

Result Read(HANDLE port, std::vector<BYTE>& buffer)
{
    DWORD bytes = 0;
    BOOL ok = ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr);
    return Finish(ok, bytes);
}

Result Control(HANDLE port, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(port, code, const_cast<void*>(input), inputLength, output, outputLength, &bytes, nullptr);
    return Finish(ok, bytes);
}

std::vector<BYTE> Pattern(size_t length)
{
    std::vector<BYTE> data(length);
    std::iota(data.begin(), data.end(), BYTE{1});
    return data;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b)
{
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

constexpr COMMTIMEOUTS kOpenTimeouts{0, 0, 1000, 0, 1000};

class WholeStackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_ = MakeScenarioDevice();
        port_ = Open();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
            device_->LetClosesLand();
        }
        device_.reset();
    }
    HANDLE Open() const
    {
        return CreateFileA(device_->PortPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    void Reopen()
    {
        ASSERT_TRUE(CloseHandle(port_));
        device_->LetClosesLand();
        port_ = Open();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }

    std::unique_ptr<ScenarioDevice> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(WholeStackTest, OneOpenAtATimeAndEachOpenResetsTheTimeouts)
{
    COMMTIMEOUTS set{5, 6, 7, 8, 9};
    ASSERT_TRUE(SetCommTimeouts(port_, &set));
    COMMTIMEOUTS got{};
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_TRUE(SameTimeouts(got, set));

    HANDLE second = Open();
    if (kWineCreateReportsNoRefusal) {
        EXPECT_NE(second, INVALID_HANDLE_VALUE);
    } else {
        EXPECT_EQ(second, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    }
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_TRUE(SameTimeouts(got, set)) << "the refused open reset nothing";
    if (second != INVALID_HANDLE_VALUE) {
        // On Wine this close reaches the driver, which takes it for the
        // port's: the reopen below closes and opens the port afresh anyway.
        CloseHandle(second);
        device_->LetClosesLand();
    }

    Reopen();
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_TRUE(SameTimeouts(got, kOpenTimeouts));
}

TEST_F(WholeStackTest, CommStateIsReportedAsSetAndSurvivesAReopen)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    Reopen();
    DCB back{};
    back.DCBlength = sizeof back;
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
}

TEST_F(WholeStackTest, EachWriteComesBackAsOneReadUpTo65536Bytes)
{
    std::vector<BYTE> echo(65536);
    for (size_t length :
         {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{512}, size_t{4096}, size_t{65535}, size_t{65536}}) {
        SCOPED_TRACE("message of " + std::to_string(length) + " bytes");
        std::vector<BYTE> message = Pattern(length);
        Result written = Write(port_, message);
        ASSERT_TRUE(written.ok) << written.error;
        EXPECT_EQ(written.bytes, length);
        std::fill(echo.begin(), echo.end(), BYTE{0});
        Result read = Read(port_, echo);
        ASSERT_TRUE(read.ok) << read.error;
        ASSERT_EQ(read.bytes, length);
        EXPECT_TRUE(std::equal(message.begin(), message.end(), echo.begin()));
    }
    std::vector<BYTE> tooLong(65537);
    Result refused = Write(port_, tooLong);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Read(port_, tooLong).error, DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(WholeStackTest, AReadTimesOutEmptyAndAWriteTimesOutAsAFailure)
{
    COMMTIMEOUTS quick{0, 0, 100, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(port_, &quick));
    std::vector<BYTE> buffer(16, 0xEE);
    Result read = Read(port_, buffer);
    EXPECT_TRUE(read.ok) << "a serial read that timed out with nothing received";
    EXPECT_EQ(read.bytes, 0u);

    device_->ArmNeverAnswer(Direction::Out);
    Result written = Write(port_, buffer);
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.error, DWORD{ERROR_SEM_TIMEOUT});
    EXPECT_EQ(written.bytes, 0u);
}

TEST_F(WholeStackTest, SetRequestsNeedExactlyTheirRecordAndGetRequestsAtLeastIt)
{
    struct Pair {
        DWORD set;
        DWORD get;
        DWORD size;
    };
    const Pair pairs[] = {
        {SerialCode(1), SerialCode(20), 4},    // baud rate
        {SerialCode(3), SerialCode(21), 3},    // line control
        {SerialCode(7), SerialCode(8), 20},    // timeouts
        {SerialCode(17), SerialCode(16), 4},   // wait mask
        {SerialCode(23), SerialCode(22), 6},   // chars
        {SerialCode(25), SerialCode(24), 16},  // handflow
    };
    for (const Pair& pair : pairs) {
        SCOPED_TRACE("record of " + std::to_string(pair.size) + " bytes");
        std::vector<BYTE> record(pair.size + 1);
        Result get = Control(port_, pair.get, nullptr, 0, record.data(), pair.size);
        ASSERT_TRUE(get.ok) << get.error;
        EXPECT_EQ(get.bytes, pair.size);
        for (DWORD wrong : {pair.size - 1, pair.size + 1}) {
            Result set = Control(port_, pair.set, record.data(), wrong, nullptr, 0);
            EXPECT_FALSE(set.ok);
            EXPECT_EQ(set.error, DWORD{ERROR_INVALID_PARAMETER});
        }
        EXPECT_TRUE(Control(port_, pair.set, record.data(), pair.size, nullptr, 0).ok);
        get = Control(port_, pair.get, nullptr, 0, record.data(), pair.size - 1);
        EXPECT_FALSE(get.ok);
        EXPECT_EQ(get.error, DWORD{ERROR_INSUFFICIENT_BUFFER});
    }
}

TEST_F(WholeStackTest, WaitCommEventIsRefusedAndPurgeSucceeds)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD events = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "sent with no input, as the wait mask needs";
    EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
    std::vector<BYTE> message = Pattern(10), echo(10);
    ASSERT_TRUE(Write(port_, message).ok);
    EXPECT_EQ(Read(port_, echo).bytes, 10u) << "a purge discards nothing the device holds";
}

TEST_F(WholeStackTest, ATransferTheDeviceFailsIsAnIoErrorAndTheDriverResetsPipesAndPort)
{
    device_->NewRequests();
    // A transaction error halts the IN endpoint until the driver resets it.
    device_->ArmFail(Direction::In, kStatusUnsuccessful, kUsbdStatusXactError);
    std::vector<BYTE> buffer(8);
    EXPECT_EQ(Read(port_, buffer).error, DWORD{ERROR_IO_DEVICE});
    std::vector<BusRecord> sent = device_->NewRequests();
    auto count = [&](auto matches) { return std::count_if(sent.begin(), sent.end(), matches); };
    EXPECT_EQ(count([](const BusRecord& r) {
                  return r.kind == BusRecord::Urb && r.function == kUrbFunctionBulkTransfer && r.endpoint == 0x81;
              }),
              1);
    EXPECT_EQ(count([](const BusRecord& r) { return r.kind == BusRecord::Urb && r.function == kUrbFunctionResetPipe; }),
              2)
        << "both pipes";
    EXPECT_EQ(count([](const BusRecord& r) { return r.kind == BusRecord::ResetPort; }), 1);

    std::vector<BYTE> message = Pattern(3);
    ASSERT_TRUE(Write(port_, message).ok);
    EXPECT_EQ(Read(port_, buffer).bytes, 3u) << "the port serves again: the halt is cleared";
}

TEST_F(WholeStackTest, AnUnplugEndsTheReadTakesTheNameAndAReplugBringsThePortBackWithDefaults)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    // A device never opened reports 115200 baud, whatever earlier scenarios
    // left on it.
    const DWORD defaultBaud = 115200;
    dcb.BaudRate = 300;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    std::vector<std::string> names = device_->SerialCommPorts();
    EXPECT_NE(std::find(names.begin(), names.end(), device_->PortName()), names.end());

    device_->ArmUnplugOnArrival(Direction::In);
    std::vector<BYTE> buffer(8);
    EXPECT_EQ(Read(port_, buffer).error, DWORD{ERROR_ACCESS_DENIED}) << "the delete-pending status";
    device_->WaitUntilGone();

    Result later = Read(port_, buffer);
    EXPECT_FALSE(later.ok);
    if (kWineRemovesWithHandleOpen) {
        EXPECT_EQ(later.error, DWORD{ERROR_ACCESS_DENIED}) << "Wine answers for the removed device";
    } else {
        EXPECT_EQ(later.error, DWORD{ERROR_BAD_COMMAND}) << "the driver refuses until the remove request";
    }
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    names = device_->SerialCommPorts();
    EXPECT_EQ(std::find(names.begin(), names.end(), device_->PortName()), names.end());
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;

    device_->Replug();
    port_ = Open();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, defaultBaud) << "a fresh device has the default settings";
    names = device_->SerialCommPorts();
    EXPECT_NE(std::find(names.begin(), names.end(), device_->PortName()), names.end());
    std::vector<BYTE> message = Pattern(5);
    ASSERT_TRUE(Write(port_, message).ok);
    EXPECT_EQ(Read(port_, buffer).bytes, 5u);
}

TEST_F(WholeStackTest, AnUnplugWithThePortIdleRefusesItsRequests)
{
    device_->Unplug();
    std::vector<BYTE> message = Pattern(4);
    Result written = Write(port_, message);
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.error, kWineRemovesWithHandleOpen ? DWORD{ERROR_ACCESS_DENIED} : DWORD{ERROR_BAD_COMMAND});
    COMMTIMEOUTS timeouts{};
    EXPECT_FALSE(GetCommTimeouts(port_, &timeouts));
}

}  // namespace
}  // namespace bulkcom_test

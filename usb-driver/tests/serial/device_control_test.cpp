// Serial control requests through DeviceIoControl: the size rule of each
// kind at its boundaries, refused codes, stored settings, and readiness.

#include <atomic>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "support/open_port_test.h"

namespace bulkcom_test {
namespace {

struct ControlResult {
    BOOL ok;
    DWORD error;
    DWORD bytes;
};

ControlResult Control(HANDLE port, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    DWORD bytes = 0xDEAD;
    SetLastError(0);
    BOOL ok = DeviceIoControl(port, code, const_cast<void*>(input), inputLength, output, outputLength, &bytes, nullptr);
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

class DeviceControlTest : public OpenPortTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartAndOpen();
        device_->NewRequests();
    }
};

TEST_F(DeviceControlTest, SetRequestsNeedExactlyTheirRecordAndGetRequestsAtLeastIt)
{
    struct Pair {
        DWORD set;
        DWORD get;
        DWORD size;
    };
    const Pair pairs[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, 4},
        {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, 20},
        {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, 4},
        {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, 6},
        {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, 16},
    };
    for (const Pair& pair : pairs) {
        SCOPED_TRACE("record of " + std::to_string(pair.size) + " bytes");
        std::vector<UCHAR> before(pair.size);
        ControlResult get = Control(port_, pair.get, nullptr, 0, before.data(), pair.size);
        ASSERT_TRUE(get.ok);
        EXPECT_EQ(get.bytes, pair.size);

        std::vector<UCHAR> record(pair.size + 1);
        for (size_t i = 0; i < record.size(); i++) {
            record[i] = static_cast<UCHAR>(0x41 + i);
        }
        for (DWORD wrong : {pair.size - 1, pair.size + 1, DWORD{0}}) {
            ControlResult set = Control(port_, pair.set, record.data(), wrong, nullptr, 0);
            EXPECT_FALSE(set.ok);
            EXPECT_EQ(set.error, DWORD{ERROR_INVALID_PARAMETER});
        }
        std::vector<UCHAR> unchanged(pair.size);
        Control(port_, pair.get, nullptr, 0, unchanged.data(), pair.size);
        EXPECT_EQ(unchanged, before) << "a refused set changes nothing";

        ASSERT_TRUE(Control(port_, pair.set, record.data(), pair.size, nullptr, 0).ok);
        std::vector<UCHAR> roomy(100, 0xEE);
        get = Control(port_, pair.get, nullptr, 0, roomy.data(), 100);
        ASSERT_TRUE(get.ok);
        EXPECT_EQ(get.bytes, pair.size) << "exactly the record, whatever the room";
        EXPECT_TRUE(std::equal(record.begin(), record.begin() + pair.size, roomy.begin()));
        EXPECT_EQ(roomy[pair.size], 0xEE);

        get = Control(port_, pair.get, nullptr, 0, roomy.data(), pair.size - 1);
        EXPECT_FALSE(get.ok);
        EXPECT_EQ(get.error, DWORD{ERROR_INSUFFICIENT_BUFFER});
        EXPECT_EQ(get.bytes, 0u);
    }
}

TEST_F(DeviceControlTest, ReportedValuesAndDefaults)
{
    ULONG value = 0xFFFFFFFF;
    ControlResult result = Control(port_, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &value, 4);
    EXPECT_TRUE(result.ok && result.bytes == 4 && value == 0);
    value = 0xFFFFFFFF;
    result = Control(port_, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &value, 8);
    EXPECT_TRUE(result.ok && result.bytes == 4 && value == 0);

    SERIAL_STATUS status;
    std::memset(&status, 0xFF, sizeof status);
    result = Control(port_, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    EXPECT_TRUE(result.ok && result.bytes == 20);
    SERIAL_STATUS zero{};
    EXPECT_EQ(std::memcmp(&status, &zero, sizeof status), 0);

    SERIAL_COMMPROP properties{};
    EXPECT_FALSE(Control(port_, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, 63).ok);
    result = Control(port_, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof properties);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 64u);
    EXPECT_EQ(properties.PacketLength, 64);
    EXPECT_EQ(properties.PacketVersion, 2);
    EXPECT_EQ(properties.ServiceMask, ULONG{SERIAL_SP_SERIALCOMM});
    EXPECT_EQ(properties.MaxBaud, ULONG{SERIAL_BAUD_115200});
    EXPECT_EQ(properties.ProvSubType, ULONG{SERIAL_SP_RS232});
    EXPECT_EQ(properties.ProvCapabilities, ULONG{SERIAL_PCF_TOTALTIMEOUTS});
    EXPECT_EQ(properties.SettableData, USHORT{SERIAL_DATABITS_8});
    EXPECT_EQ(properties.SettableStopParity, USHORT{SERIAL_STOPBITS_10 | SERIAL_PARITY_NONE});
    EXPECT_EQ(properties.MaxRxQueue, 0u);
    EXPECT_EQ(properties.CurrentRxQueue, 65536u);

    SERIAL_BAUD_RATE baud{};
    Control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud);
    EXPECT_EQ(baud.BaudRate, 115200u);
    for (ULONG rate : {ULONG{300}, ULONG{0}}) {
        baud.BaudRate = rate;
        ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0).ok);
        SERIAL_BAUD_RATE back{};
        result = Control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &back, sizeof back);
        EXPECT_EQ(back.BaudRate, rate) << "stored unvalidated";
        EXPECT_EQ(result.bytes, 4u);
    }
}

TEST_F(DeviceControlTest, DtrAndRtsLinesTakeNoInput)
{
    auto lines = [&] {
        ULONG state = 0xFF;
        Control(port_, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &state, 4);
        return state;
    };
    ULONG junk = 1;
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0).ok);
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(lines(), ULONG{SERIAL_DTR_STATE | SERIAL_RTS_STATE});
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(lines(), ULONG{SERIAL_RTS_STATE});
    for (DWORD code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS}) {
        ControlResult result = Control(port_, code, &junk, 4, nullptr, 0);
        EXPECT_EQ(result.error, DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_EQ(lines(), ULONG{SERIAL_RTS_STATE}) << "refused line requests change nothing";
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_CLR_RTS, nullptr, 0, &junk, 4).ok) << "output room is not looked at";
    EXPECT_EQ(lines(), 0u);
}

TEST_F(DeviceControlTest, AcceptedRequestsCheckOnlyTheirInputLength)
{
    UCHAR data[16] = {};
    struct Case {
        DWORD code;
        DWORD size;  // 0: any request is taken
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_QUEUE_SIZE, 8},    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1}, {IOCTL_SERIAL_XOFF_COUNTER, 12},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, 4}, {IOCTL_SERIAL_SET_BREAK_ON, 0},   {IOCTL_SERIAL_SET_BREAK_OFF, 0},
        {IOCTL_SERIAL_RESET_DEVICE, 0},      {IOCTL_SERIAL_SET_XOFF, 0},       {IOCTL_SERIAL_SET_XON, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        if (c.size == 0) {
            EXPECT_TRUE(Control(port_, c.code, nullptr, 0, nullptr, 0).ok);
            EXPECT_TRUE(Control(port_, c.code, data, 7, data, 3).ok);
            continue;
        }
        ControlResult result = Control(port_, c.code, data, c.size, nullptr, 0);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.bytes, 0u);
        EXPECT_EQ(Control(port_, c.code, data, c.size + 1, nullptr, 0).error, DWORD{ERROR_INVALID_PARAMETER});
        EXPECT_EQ(Control(port_, c.code, data, c.size - 1, data, 16).error, DWORD{ERROR_INVALID_PARAMETER});
    }
}

TEST_F(DeviceControlTest, CodesOutsideTheTableAreRefused)
{
    UCHAR buffer[64] = {};
    const DWORD refused[] = {
        IOCTL_SERIAL_LSRMST_INSERT,    IOCTL_SERIAL_GET_COMMCONFIG,
        IOCTL_SERIAL_SET_COMMCONFIG,   IOCTL_SERIAL_GET_STATS,
        IOCTL_SERIAL_CLEAR_STATS,      IOCTL_SERIAL_GET_MODEM_CONTROL,
        IOCTL_SERIAL_SET_FIFO_CONTROL, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (DWORD code : refused) {
        ControlResult result = Control(port_, code, buffer, 4, buffer, sizeof buffer);
        EXPECT_FALSE(result.ok) << "code " << code;
        EXPECT_EQ(result.error, DWORD{ERROR_INVALID_PARAMETER});
    }
}

TEST_F(DeviceControlTest, RequestsWithoutASystemBufferAreRefused)
{
    // Only kernel-mode senders can make these: an application's buffered
    // request always has a system buffer when it has a length.
    auto send = [&](ULONG code, ULONG input, ULONG output) {
        return device_->Pnp().SendRequest(device_->Pdo(), IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS,
                                          [&](IO_STACK_LOCATION& stack) {
                                              stack.Parameters.DeviceIoControl.IoControlCode = code;
                                              stack.Parameters.DeviceIoControl.InputBufferLength = input;
                                              stack.Parameters.DeviceIoControl.OutputBufferLength = output;
                                          });
    };
    EXPECT_EQ(send(IOCTL_SERIAL_SET_BAUD_RATE, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_SERIAL_GET_BAUD_RATE, 0, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_SERIAL_GET_BAUD_RATE, 0, 3), STATUS_BUFFER_TOO_SMALL) << "size is tested first";
    EXPECT_EQ(send(IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_SERIAL_WAIT_ON_MASK, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_SERIAL_PURGE, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_SERIAL_SET_BREAK_ON, 0, 0), STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, RefusedUnlessReadyButAnsweredOutOfD0AndDuringATransfer)
{
    PDEVICE_EXTENSION extension = device_->Extension();
    SERIAL_BAUD_RATE baud{};
    for (BOOLEAN DEVICE_EXTENSION::*flag :
         {&DEVICE_EXTENSION::RemovePending, &DEVICE_EXTENSION::StopPending, &DEVICE_EXTENSION::Removed}) {
        extension->*flag = TRUE;
        ControlResult result = Control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, DWORD{ERROR_BAD_COMMAND});
        extension->*flag = FALSE;
    }
    extension->Started = FALSE;
    EXPECT_EQ(Control(port_, IOCTL_SERIAL_PURGE, &baud, 4, nullptr, 0).error, DWORD{ERROR_BAD_COMMAND});
    extension->Started = TRUE;
    EXPECT_EQ(extension->OutstandingIo, 1);

    // Out of D0, with the semaphore taken as by a transfer in progress.
    extension->PoweredDown = TRUE;
    KeClearEvent(&extension->PowerUpEvent);
    AcquireIoSemaphore(device_->Fdo());
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4).ok);
    EXPECT_TRUE(Control(port_, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0).ok);
    ReleaseIoSemaphore(device_->Fdo());
    extension->PoweredDown = FALSE;
    KeSetEvent(&extension->PowerUpEvent, IO_NO_INCREMENT, FALSE);
}

TEST_F(DeviceControlTest, SettingsSurviveCloseAndReopenExceptTheTimeoutsAndNothingGoesToTheDevice)
{
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BITS_2, ODD_PARITY, 7};
    SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0).ok);
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_LINE_CONTROL, &line, 3, nullptr, 0).ok);
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, 20, nullptr, 0).ok);
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0).ok);
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0).ok);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenComPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);

    SERIAL_BAUD_RATE baudBack{};
    SERIAL_LINE_CONTROL lineBack{};
    SERIAL_TIMEOUTS timeoutsBack{};
    ULONG maskBack = 0;
    ULONG lines = 0;
    Control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baudBack, 4);
    Control(port_, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &lineBack, 3);
    Control(port_, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeoutsBack, 20);
    Control(port_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &maskBack, 4);
    Control(port_, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 4);
    EXPECT_EQ(baudBack.BaudRate, 9600u);
    EXPECT_EQ(lineBack.Parity, ODD_PARITY);
    EXPECT_EQ(lineBack.StopBits, STOP_BITS_2);
    EXPECT_EQ(maskBack, mask);
    EXPECT_EQ(lines, ULONG{SERIAL_RTS_STATE});
    EXPECT_EQ(timeoutsBack.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeoutsBack.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeoutsBack.WriteTotalTimeoutMultiplier, 0u);

    EXPECT_TRUE(device_->NewRequests().empty()) << "nothing of the settings reaches the device";
}

TEST_F(DeviceControlTest, TimeoutsAreNeverSeenHalfWritten)
{
    SERIAL_TIMEOUTS first{7, 7, 7, 7, 7};
    ASSERT_TRUE(Control(port_, IOCTL_SERIAL_SET_TIMEOUTS, &first, sizeof first, nullptr, 0).ok);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (ULONG round = 0; round < 3000; round++) {
            ULONG v = round % 2 == 0 ? 0x11111111u : 0x22222222u;
            SERIAL_TIMEOUTS timeouts{v, v, v, v, v};
            Control(port_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
        }
        done = true;
    });
    unsigned torn = 0;
    unsigned reads = 0;
    while (!done || reads < 100) {
        SERIAL_TIMEOUTS seen{};
        LoadSetting(device_->Extension(), &seen, &device_->Extension()->Timeouts, sizeof seen);
        reads++;
        if (seen.ReadIntervalTimeout != seen.ReadTotalTimeoutMultiplier ||
            seen.ReadIntervalTimeout != seen.ReadTotalTimeoutConstant ||
            seen.ReadIntervalTimeout != seen.WriteTotalTimeoutMultiplier ||
            seen.ReadIntervalTimeout != seen.WriteTotalTimeoutConstant) {
            torn++;
        }
    }
    writer.join();
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
}

}  // namespace
}  // namespace bulkcom_test

// The comm calls that read the port's status and abilities:
// ClearCommError, GetCommModemStatus and GetCommProperties, with the
// mapping of the driver's records into Win32's.

#include <cstring>

#include "sim/support/driver_thread.h"
#include "sim/support/held_requests.h"
#include "sim/support/win32_comm_port.h"

namespace bulkcom_test {
namespace {

using Win32CommStatusTest = Win32CommTest;

TEST_F(Win32CommStatusTest, ClearCommErrorAsksForTheCommStatusAndMapsEachErrorBit)
{
    struct Case {
        ULONG serial;
        DWORD win32;
    };
    const Case cases[] = {
        {SERIAL_ERROR_BREAK, CE_BREAK},
        {SERIAL_ERROR_FRAMING, CE_FRAME},
        {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
        {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
        {SERIAL_ERROR_PARITY, CE_RXPARITY},
        {0, 0},
        {SERIAL_ERROR_BREAK | SERIAL_ERROR_PARITY, CE_BREAK | CE_RXPARITY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("serial errors " + std::to_string(c.serial));
        requests_.clear();
        Reply(IOCTL_SERIAL_GET_COMMSTATUS, SERIAL_STATUS{c.serial, 0, 0, 0, FALSE, FALSE});
        DWORD errors = 0xEEEE;
        ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
        EXPECT_EQ(errors, c.win32);
        ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_GET_COMMSTATUS});
        EXPECT_EQ(requests_[0].inputLength, 0u);
        EXPECT_EQ(requests_[0].outputLength, 20u);
    }
}

TEST_F(Win32CommStatusTest, ClearCommErrorFillsComstatFromTheHoldReasonsAndQueues)
{
    struct Case {
        ULONG holdReasons;
        BOOLEAN eof;
        BOOLEAN immediate;
        DWORD expected[7];  // fCtsHold, fDsrHold, fRlsdHold, fXoffHold, fXoffSent, fEof, fTxim
    };
    const Case cases[] = {
        {SERIAL_TX_WAITING_FOR_CTS, FALSE, FALSE, {1, 0, 0, 0, 0, 0, 0}},
        {SERIAL_TX_WAITING_FOR_DSR, FALSE, FALSE, {0, 1, 0, 0, 0, 0, 0}},
        {SERIAL_TX_WAITING_FOR_DCD, FALSE, FALSE, {0, 0, 1, 0, 0, 0, 0}},
        {SERIAL_TX_WAITING_FOR_XON, FALSE, FALSE, {0, 0, 0, 1, 0, 0, 0}},
        {SERIAL_TX_WAITING_XOFF_SENT, FALSE, FALSE, {0, 0, 0, 0, 1, 0, 0}},
        {0, TRUE, FALSE, {0, 0, 0, 0, 0, 1, 0}},
        {0, FALSE, TRUE, {0, 0, 0, 0, 0, 0, 1}},
        {SERIAL_TX_WAITING_ON_BREAK | SERIAL_RX_WAITING_FOR_DSR, FALSE, FALSE, {0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("hold reasons " + std::to_string(c.holdReasons));
        Reply(IOCTL_SERIAL_GET_COMMSTATUS, SERIAL_STATUS{0, c.holdReasons, 123, 45, c.eof, c.immediate});
        COMSTAT stat;
        std::memset(&stat, 0xFF, sizeof stat);
        ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
        const DWORD seen[] = {stat.fCtsHold,  stat.fDsrHold, stat.fRlsdHold, stat.fXoffHold,
                              stat.fXoffSent, stat.fEof,     stat.fTxim};
        EXPECT_TRUE(std::equal(std::begin(seen), std::end(seen), std::begin(c.expected)));
        EXPECT_EQ(stat.fReserved, 0u);
        EXPECT_EQ(stat.cbInQue, 123u);
        EXPECT_EQ(stat.cbOutQue, 45u);
    }
}

TEST_F(Win32CommStatusTest, AFailedClearCommErrorWritesNothing)
{
    Refuse(IOCTL_SERIAL_GET_COMMSTATUS, STATUS_DEVICE_NOT_CONNECTED);
    DWORD errors = 0xEEEE;
    COMSTAT stat{};
    stat.cbInQue = 7;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(errors, 0xEEEEu);
    EXPECT_EQ(stat.cbInQue, 7u);
}

TEST_F(Win32CommStatusTest, GetCommModemStatusReturnsTheDriversFourBytes)
{
    Reply(IOCTL_SERIAL_GET_MODEMSTATUS, ULONG{SERIAL_MSR_CTS | SERIAL_MSR_DCD});
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_GET_MODEMSTATUS});
    EXPECT_EQ(requests_[0].inputLength, 0u);
    EXPECT_EQ(requests_[0].outputLength, 4u);
}

TEST_F(Win32CommStatusTest, GetCommPropertiesAsksForACommpropOrTheLengthTheCallerGives)
{
    SERIAL_COMMPROP driver{};
    driver.PacketLength = 64;
    driver.PacketVersion = 2;
    driver.ServiceMask = SERIAL_SP_SERIALCOMM;
    driver.MaxTxQueue = 11;
    driver.MaxRxQueue = 12;
    driver.MaxBaud = SERIAL_BAUD_115200;
    driver.ProvSubType = SERIAL_SP_RS232;
    driver.ProvCapabilities = SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_DTRDSR;
    driver.SettableParams = SERIAL_SP_BAUD;
    driver.SettableBaud = SERIAL_BAUD_9600 | SERIAL_BAUD_USER;
    driver.SettableData = SERIAL_DATABITS_8;
    driver.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_PARITY_NONE;
    driver.CurrentTxQueue = 13;
    driver.CurrentRxQueue = 65536;
    driver.ProvSpec1 = 14;
    driver.ProvSpec2 = 15;
    Reply(IOCTL_SERIAL_GET_PROPERTIES, driver);

    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(port_, &properties));
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_GET_PROPERTIES});
    EXPECT_EQ(requests_[0].inputLength, 0u);
    EXPECT_EQ(requests_[0].outputLength, 64u);
    EXPECT_EQ(properties.wPacketLength, 64);
    EXPECT_EQ(properties.wPacketVersion, 2);
    EXPECT_EQ(properties.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(properties.dwMaxTxQueue, 11u);
    EXPECT_EQ(properties.dwMaxRxQueue, 12u);
    EXPECT_EQ(properties.dwMaxBaud, BAUD_115200);
    EXPECT_EQ(properties.dwProvSubType, PST_RS232);
    EXPECT_EQ(properties.dwProvCapabilities, PCF_TOTALTIMEOUTS | PCF_DTRDSR);
    EXPECT_EQ(properties.dwSettableParams, SP_BAUD);
    EXPECT_EQ(properties.dwSettableBaud, BAUD_9600 | BAUD_USER);
    EXPECT_EQ(properties.wSettableData, DATABITS_8);
    EXPECT_EQ(properties.wSettableStopParity, STOPBITS_10 | PARITY_NONE);
    EXPECT_EQ(properties.dwCurrentTxQueue, 13u);
    EXPECT_EQ(properties.dwCurrentRxQueue, 65536u);
    EXPECT_EQ(properties.dwProvSpec1, 14u);
    EXPECT_EQ(properties.dwProvSpec2, 15u);

    // A caller that wants provider data past the record says how long its
    // packet is.
    union {
        COMMPROP properties;
        UCHAR bytes[100];
    } packet{};
    packet.properties.wPacketLength = 100;
    packet.properties.dwProvSpec1 = COMMPROP_INITIALIZED;
    requests_.clear();
    ASSERT_TRUE(GetCommProperties(port_, &packet.properties));
    EXPECT_EQ(requests_[0].outputLength, 100u);
    packet.properties.dwProvSpec1 = 0;
    requests_.clear();
    ASSERT_TRUE(GetCommProperties(port_, &packet.properties));
    EXPECT_EQ(requests_[0].outputLength, 64u) << "without the marker the length is not looked at";
}

TEST_F(Win32CommStatusTest, CommCallsOnAnOverlappedHandleWaitForARequestTheDriverHolds)
{
    HeldRequests held;
    On(IRP_MJ_DEVICE_CONTROL, [&held](PDEVICE_OBJECT, PIRP irp) { return held.Hold(irp); });
    DriverThread driver(held, [&held] {
        PIRP irp = held.Take();
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = SERIAL_MSR_DSR;
        CompleteWith(irp, STATUS_SUCCESS, sizeof(ULONG));
    });
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(port_, &status));
    driver.Join();
    EXPECT_EQ(status, MS_DSR_ON);
}

}  // namespace
}  // namespace bulkcom_test

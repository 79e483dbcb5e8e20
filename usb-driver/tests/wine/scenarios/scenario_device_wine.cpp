// The scenarios' device on Wine's kernel: the test USB bus that runs beside
// bulkcom.sys, commanded through its control device, and Wine's own Plug and
// Play manager. Wine tells a client nothing when a device comes or goes, so
// the waits here poll the port's name.

#include <windows.h>

#include <gtest/gtest.h>

#include "support/scenario_device.h"
#include "wine/test_bus_control.h"

namespace bulkcom_test {
namespace {

// Wine's Plug and Play manager works asynchronously; a device it starts or
// removes shows at its name well within this.
constexpr int kPolls = 300;
constexpr DWORD kPollMs = 20;

class WineScenarioDevice : public ScenarioDevice {
public:
    WineScenarioDevice()
    {
        Command(IOCTL_BCTEST_CLEAR, nullptr, 0);
        EXPECT_TRUE(WaitForName(ERROR_SUCCESS)) << PortPath() << " does not open";
    }

    std::string PortPath() const override { return "\\\\.\\COM7"; }
    std::string PortName() const override { return "COM7"; }

    void ArmFail(Direction direction, std::int32_t status, std::int32_t usbdStatus) override
    {
        Arm(direction, BctestFail, status, usbdStatus);
    }
    void ArmNeverAnswer(Direction direction) override { Arm(direction, BctestNeverAnswer, 0, 0); }
    void ArmUnplugOnArrival(Direction direction) override { Arm(direction, BctestUnplugOnArrival, 0, 0); }

    void Unplug() override
    {
        Command(IOCTL_BCTEST_UNPLUG, nullptr, 0);
        WaitUntilGone();
    }
    void WaitUntilGone() override { EXPECT_TRUE(WaitForName(ERROR_FILE_NOT_FOUND)) << PortPath() << " stays"; }
    void Replug() override
    {
        Command(IOCTL_BCTEST_REPLUG, nullptr, 0);
        EXPECT_TRUE(WaitForName(ERROR_SUCCESS)) << PortPath() << " does not come back";
        seen_ = 0;
        Command(IOCTL_BCTEST_CLEAR, nullptr, 0);
    }

    std::vector<BusRecord> NewRequests() override
    {
        static BCTEST_LOG log;
        std::vector<BusRecord> records;
        if (!Command(IOCTL_BCTEST_GET_LOG, nullptr, 0, &log, sizeof log)) {
            return records;
        }
        EXPECT_LE(log.Count, ULONG{BCTEST_LOG_CAPACITY}) << "the bus's log overflowed";
        ULONG kept = log.Count < BCTEST_LOG_CAPACITY ? log.Count : BCTEST_LOG_CAPACITY;
        for (ULONG i = seen_; i < kept; i++) {
            const BCTEST_RECORD& r = log.Records[i];
            records.push_back({r.Kind, r.Function, r.Endpoint, r.Length, r.Transferred, r.Status});
        }
        seen_ = kept;
        return records;
    }
    // The bus shares the driver host with bulkcom.sys: once the host has
    // taken a request of the bus, every close made before has been sent.
    void LetClosesLand() override
    {
        BCTEST_LOG log;
        Command(IOCTL_BCTEST_GET_LOG, nullptr, 0, &log, sizeof log);
    }
    std::vector<std::string> SerialCommPorts() override
    {
        std::vector<std::string> ports;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return ports;
        }
        for (DWORD index = 0;; index++) {
            char name[256], data[256];
            DWORD nameLength = sizeof name, dataLength = sizeof data, type = 0;
            if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                              &dataLength) != ERROR_SUCCESS) {
                break;
            }
            if (type == REG_SZ) {
                ports.emplace_back(data, strnlen(data, dataLength));
            }
        }
        RegCloseKey(key);
        return ports;
    }

private:
    bool Command(DWORD code, void* input, DWORD inputLength, void* output = nullptr, DWORD outputLength = 0)
    {
        HANDLE bus =
            CreateFileW(BCTEST_CONTROL_NAME_W, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (bus == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "the test bus's control device does not open: " << GetLastError();
            return false;
        }
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(bus, code, input, inputLength, output, outputLength, &bytes, nullptr);
        EXPECT_TRUE(ok) << "test bus command " << std::hex << code << " failed: " << std::dec << GetLastError();
        CloseHandle(bus);
        return ok;
    }
    void Arm(Direction direction, ULONG action, std::int32_t status, std::int32_t usbdStatus)
    {
        BCTEST_ARM arm{direction == Direction::In ? ULONG{BctestIn} : ULONG{BctestOut}, action, status, usbdStatus};
        Command(IOCTL_BCTEST_ARM, &arm, sizeof arm);
    }
    // Polls an open of the port until it ends with this error (ERROR_SUCCESS:
    // it opens).
    bool WaitForName(DWORD wanted)
    {
        for (int poll = 0; poll < kPolls; poll++) {
            HANDLE port =
                CreateFileA(PortPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            DWORD error = port == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            if (port != INVALID_HANDLE_VALUE) {
                CloseHandle(port);
                LetClosesLand();
            }
            if (error == wanted) {
                return true;
            }
            Sleep(kPollMs);
        }
        return false;
    }

    ULONG seen_ = 0;
};

}  // namespace

std::unique_ptr<ScenarioDevice> MakeScenarioDevice()
{
    return std::make_unique<WineScenarioDevice>();
}

}  // namespace bulkcom_test

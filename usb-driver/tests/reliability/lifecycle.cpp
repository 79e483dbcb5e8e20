#include "reliability/lifecycle.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "application_side.h"
#include "frame/frame.h"
#include "kernel/device_interfaces.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "support/port_access.h"
#include "support/test_capture.h"

namespace bulkcom_test {

namespace {

std::vector<UCHAR> Message(UCHAR seed, size_t length)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>(seed + i * 7);
    }
    return bytes;
}

}  // namespace

Lifecycle::Lifecycle(sim::CompletionMode mode)
    : device_(std::make_shared<sim::ScriptedDevice>()), bus_(std::make_unique<sim::UsbBus>(mode)),
      pnp_(std::make_unique<sim::PnpManager>(DriverEntry))
{
    CaptureForThisTest(*bus_);
    pdo_ = bus_->CreatePhysicalDevice(device_);
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM5");
    bus_->SetUnplugHandler([this](PDEVICE_OBJECT pdo) { pnp_->ReportUnplugged(pdo); });
}

Lifecycle::~Lifecycle()
{
    sim::WaitForDeferredCloses();
    pnp_->WaitUntilIdle();
    bus_->DeletePhysicalDevice(pdo_);
    pnp_.reset();
    bus_.reset();
}

void Lifecycle::Run(Ending ending)
{
    Step("enumerate", [this] { return Enumerate(); });
    Step("open", [this] { return Open(); });
    Step("comm state and timeouts", [this] { return Settings(); });
    Step("round trip", [this] { return RoundTrip(0x10); });
    Step("purge",
         [this] { return PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR) ? Result::AsWithoutFaults : Result::Failed; });
    Step("rebalance", [this] { return NT_SUCCESS(pnp_->Rebalance(pdo_)) ? Result::AsWithoutFaults : Result::Failed; });
    Step("round trip after the rebalance", [this] { return RoundTrip(0x20); });
    Step("sleep and resume", [this] { return SleepAndResume(); });
    if (StuckOutOfD0()) {
        // Port requests would wait for D0 for good: only the device's going
        // lets them go.
        End(ending);
        return;
    }
    Step("round trip after the resume", [this] { return RoundTrip(0x30); });
    Step("stalled write", [this] { return StalledWrite(); });
    Step("stalled read", [this] { return StalledRead(); });
    Step("timed-out read", [this] { return TimedOutRead(); });
    Step("ignored write", [this] { return IgnoredWrite(); });
    Step("round trip after recovery", [this] { return RoundTrip(0x40); });
    Step("close", [this] { return Close(); });
    // Windows asks only once no file is open on the device.
    Step("query-remove, cancelled", [this] { return QueryRemoveAndCancel(); });
    End(ending);
}

void Lifecycle::Step(const std::string& name, const std::function<Result()>& step)
{
    Result result = step();
    EXPECT_NE(result, Result::WrongSuccess) << name << " reported success, but did not do what it should";
    if (result == Result::Failed) {
        EXPECT_NE(sim::Faults::InjectedCount(), 0u) << name << " failed, and no fault was injected";
    }
}

Lifecycle::Result Lifecycle::Enumerate()
{
    return NT_SUCCESS(pnp_->Enumerate(pdo_)) ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::Open()
{
    port_ = OpenComPort();
    return port_ != INVALID_HANDLE_VALUE ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::Settings()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) {
        return Result::Failed;
    }
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    DCB readBack{};
    readBack.DCBlength = sizeof readBack;
    if (!SetCommState(port_, &dcb) || !GetCommState(port_, &readBack)) {
        return Result::Failed;
    }
    if (readBack.BaudRate != dcb.BaudRate || readBack.ByteSize != dcb.ByteSize || readBack.Parity != dcb.Parity ||
        readBack.StopBits != dcb.StopBits) {
        return Result::WrongSuccess;
    }
    // Short limits: the recovery steps wait them out.
    COMMTIMEOUTS timeouts{0, 0, 50, 0, 50};
    COMMTIMEOUTS timeoutsBack{};
    if (!SetCommTimeouts(port_, &timeouts) || !GetCommTimeouts(port_, &timeoutsBack)) {
        return Result::Failed;
    }
    return timeoutsBack.ReadTotalTimeoutConstant == 50 && timeoutsBack.WriteTotalTimeoutConstant == 50
               ? Result::AsWithoutFaults
               : Result::WrongSuccess;
}

bool Lifecycle::ReadBackInOrder(const std::vector<UCHAR>& received)
{
    auto found = std::find(replies_.begin(), replies_.end(), received);
    if (found == replies_.end()) {
        return false;
    }
    replies_.erase(replies_.begin(), std::next(found));
    return true;
}

Lifecycle::Result Lifecycle::RoundTrip(UCHAR seed)
{
    std::vector<UCHAR> request = Message(seed, 20);
    size_t writtenBefore = device_->Written().size();
    DWORD bytes = 0;
    bool wrote = WriteFile(port_, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr);
    if (wrote) {
        std::vector<std::vector<UCHAR>> written = device_->Written();
        if (bytes != request.size() || written.size() != writtenBefore + 1 || written.back() != request) {
            return Result::WrongSuccess;
        }
    }
    std::vector<UCHAR> reply = Message(static_cast<UCHAR>(seed + 1), 9);
    device_->SendMessage(reply);
    replies_.push_back(reply);
    std::vector<UCHAR> buffer(64);
    bool read = ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr);
    if (read && !ReadBackInOrder(std::vector<UCHAR>(buffer.begin(), buffer.begin() + bytes))) {
        return Result::WrongSuccess;
    }
    return wrote && read ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::StalledWrite()
{
    device_->StallOut();
    std::vector<UCHAR> request = Message(0x50, 8);
    DWORD bytes = 0;
    if (WriteFile(port_, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr)) {
        // Only a write that never reached the endpoint leaves the stall
        // queued; it must not have been reported as sent.
        return Result::WrongSuccess;
    }
    return GetLastError() == ERROR_IO_DEVICE ? Result::AsWithoutFaults : Result::Failed;
}

// What a read that should end without data received instead: only a reply
// left queued by an earlier failed read, in order, is acceptable.
Lifecycle::Result Lifecycle::UnexpectedData(const std::vector<UCHAR>& received)
{
    return ReadBackInOrder(received) ? Result::Failed : Result::WrongSuccess;
}

Lifecycle::Result Lifecycle::StalledRead()
{
    device_->StallIn();
    std::vector<UCHAR> buffer(64);
    DWORD bytes = 0;
    if (ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr)) {
        return UnexpectedData(std::vector<UCHAR>(buffer.begin(), buffer.begin() + bytes));
    }
    return GetLastError() == ERROR_IO_DEVICE ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::TimedOutRead()
{
    std::vector<UCHAR> buffer(64);
    DWORD bytes = 0;
    if (!ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr)) {
        return Result::Failed;
    }
    return bytes == 0 ? Result::AsWithoutFaults
                      : UnexpectedData(std::vector<UCHAR>(buffer.begin(), buffer.begin() + bytes));
}

Lifecycle::Result Lifecycle::IgnoredWrite()
{
    device_->IgnoreOut();
    std::vector<UCHAR> request = Message(0x60, 8);
    DWORD bytes = 0;
    if (WriteFile(port_, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr)) {
        return Result::WrongSuccess;
    }
    return GetLastError() == ERROR_SEM_TIMEOUT ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::QueryRemoveAndCancel()
{
    NTSTATUS status = pnp_->SendPnp(pdo_, IRP_MN_QUERY_REMOVE_DEVICE);
    // The answer to a query the manager always ends with its cancel.
    pnp_->SendPnp(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE);
    return NT_SUCCESS(status) ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::SleepAndResume()
{
    NTSTATUS slept = pnp_->Power().Sleep(PowerSystemSleeping3);
    NTSTATUS resumed = pnp_->Power().Resume();
    bus_->Flush();
    return NT_SUCCESS(slept) && NT_SUCCESS(resumed) ? Result::AsWithoutFaults : Result::Failed;
}

Lifecycle::Result Lifecycle::Close()
{
    if (port_ == INVALID_HANDLE_VALUE) {
        return Result::Failed;
    }
    BOOL closed = CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    return closed ? Result::AsWithoutFaults : Result::WrongSuccess;
}

bool Lifecycle::StuckOutOfD0() const
{
    PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
    return fdo != nullptr && DeviceExtensionOf(fdo)->PoweredDown;
}

void Lifecycle::End(Ending ending)
{
    sim::PNP_VETO_TYPE veto{};
    if (ending == Ending::Removal && !NT_SUCCESS(pnp_->QueryAndRemove(pdo_, &veto))) {
        // Only a run cut short with the device stuck out of D0 leaves the
        // port open, and only a fault makes the driver refuse.
        if (veto == sim::PNP_VetoOutstandingOpen) {
            EXPECT_TRUE(port_ != INVALID_HANDLE_VALUE && StuckOutOfD0()) << "vetoed with no port open";
        } else {
            EXPECT_NE(sim::Faults::InjectedCount(), 0u) << "the query-remove failed, and no fault was injected";
        }
        // A device whose removal was refused goes all the same when it is unplugged.
        ending = Ending::Unplug;
    }
    if (ending == Ending::Unplug) {
        bus_->Unplug(pdo_);
        sim::WaitForDeferredCloses();
        pnp_->WaitUntilIdle();
    }
    // A port still open is closed once its device has gone; after an unplug
    // the removal waits for that.
    if (port_ != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
        sim::WaitForDeferredCloses();
        pnp_->WaitUntilIdle();
    }
    // What the removal must have withdrawn, before the bus deletes the
    // physical device and takes the rest with it.
    EXPECT_EQ(pdo_->AttachedDevice, nullptr) << "the driver's device object is still attached";
    EXPECT_TRUE(sim::Namespace::Links().empty()) << "a symbolic link is left";
    EXPECT_TRUE(sim::DeviceInterfaces::Enabled().empty()) << "a device interface is left enabled";
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty()) << "the SERIALCOMM value is left";
}

}  // namespace bulkcom_test

// The scenarios' device on the simulated kernel: an echoing device on the
// simulated USB bus, Plug and Play by the simulated manager, and at the end
// the platform's checks.

#include <map>
#include <mutex>
#include <optional>

#include "application_side.h"
#include "kernel/hooks.h"
#include "kernel/kernel.h"
#include "kernel/registry.h"
#include "support/scenario_device.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"

namespace bulkcom_test {
namespace {

enum class Armed { Fail, NeverAnswer, UnplugOnArrival };

PURB UrbOf(PIRP irp)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

bool IsBulkTransfer(PIRP irp)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    return stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
           stack.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && UrbOf(irp) != nullptr &&
           UrbOf(irp)->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

struct Arming {
    Armed action;
    LONG status = 0;
    LONG usbdStatus = 0;
};

// A loopback whose next transfer in a direction can be made to fail or wait.
class ArmableLoopback : public sim::LoopbackDevice {
public:
    void Arm(Direction direction, Arming arming)
    {
        std::lock_guard guard(lock_);
        armed_[direction] = arming;
    }
    // Takes the arming of a direction if it is this action.
    bool Take(Direction direction, Armed action)
    {
        std::lock_guard guard(lock_);
        auto found = armed_.find(direction);
        if (found == armed_.end() || found->second.action != action) {
            return false;
        }
        armed_.erase(found);
        return true;
    }

    sim::OutAnswer Out(UCHAR endpoint, std::span<const UCHAR> data) override
    {
        if (std::optional<Arming> arming = TakeAnswer(Direction::Out)) {
            if (arming->action == Armed::Fail) {
                return sim::OutFailure{arming->status, static_cast<USBD_STATUS>(arming->usbdStatus)};
            }
            return sim::OutIgnore{};
        }
        return LoopbackDevice::Out(endpoint, data);
    }
    std::optional<sim::InEvent> NextIn(UCHAR endpoint) override
    {
        if (std::optional<Arming> arming = TakeAnswer(Direction::In)) {
            if (arming->action == Armed::Fail) {
                return sim::InFailure{arming->status, static_cast<USBD_STATUS>(arming->usbdStatus)};
            }
            return sim::InIgnore{};
        }
        return LoopbackDevice::NextIn(endpoint);
    }

private:
    // A failure or a transfer never answered; an unplug is the bus's to do.
    std::optional<Arming> TakeAnswer(Direction direction)
    {
        std::lock_guard guard(lock_);
        auto found = armed_.find(direction);
        if (found == armed_.end() || found->second.action == Armed::UnplugOnArrival) {
            return std::nullopt;
        }
        Arming arming = found->second;
        armed_.erase(found);
        return arming;
    }

    std::mutex lock_;
    std::map<Direction, Arming> armed_;
};

BusRecord ToBusRecord(const sim::UsbRequestRecord& record)
{
    BusRecord out;
    switch (record.kind) {
    case sim::UsbRequestKind::SubmitUrb:
        out.kind = BusRecord::Urb;
        out.function = record.urbFunction;
        break;
    case sim::UsbRequestKind::GetPortStatus:
        out.kind = BusRecord::PortStatus;
        break;
    case sim::UsbRequestKind::ResetPort:
        out.kind = BusRecord::ResetPort;
        break;
    case sim::UsbRequestKind::CyclePort:
        out.kind = BusRecord::CyclePort;
        break;
    default:
        out.kind = BusRecord::Pnp;
        out.function = record.minorFunction;
        break;
    }
    out.endpoint = record.endpointAddress;
    out.length = record.requestedLength;
    out.transferred = record.transferredLength;
    out.status = record.status;
    return out;
}

class SimScenarioDevice : public ScenarioDevice {
public:
    SimScenarioDevice()
    {
        sim::ResetKernel();
        sim::ResetApplicationSide();
        device_ = std::make_unique<UsbDeviceUnderTest>(model_);
        device_->Bus().SetUnplugHandler([this](PDEVICE_OBJECT pdo) { device_->Pnp().ReportUnplugged(pdo); });
        sim::Registry::SetHardwareString(device_->Pdo(), u"PortName", u"COM7");
        device_->AddAndStart();
        device_->NewRequests();
        // The device leaves as the armed transfer reaches the bus, before
        // the bus takes it.
        sim::Hooks().requestArriving = [this](PDEVICE_OBJECT target, PIRP irp) {
            if (target != device_->Pdo() || !IsBulkTransfer(irp)) {
                return;
            }
            const auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
            Direction direction =
                (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ? Direction::In : Direction::Out;
            if (model_->Take(direction, Armed::UnplugOnArrival)) {
                device_->Bus().Unplug(device_->Pdo());
            }
        };
    }
    ~SimScenarioDevice() override
    {
        // The hook goes once no Plug and Play work can still send a request.
        sim::WaitForDeferredCloses();
        device_->Pnp().WaitUntilIdle();
        sim::Hooks().requestArriving = nullptr;
        device_.reset();
        ExpectPlatformClean();
        sim::ResetApplicationSide();
        sim::ResetKernel();
    }

    std::string PortPath() const override { return "\\\\.\\COM7"; }
    std::string PortName() const override { return "COM7"; }

    void ArmFail(Direction direction, std::int32_t status, std::int32_t usbdStatus) override
    {
        model_->Arm(direction, {Armed::Fail, status, usbdStatus});
    }
    void ArmNeverAnswer(Direction direction) override { model_->Arm(direction, {Armed::NeverAnswer}); }
    void ArmUnplugOnArrival(Direction direction) override { model_->Arm(direction, {Armed::UnplugOnArrival}); }

    void Unplug() override
    {
        device_->Bus().Unplug(device_->Pdo());
        WaitUntilGone();
    }
    void WaitUntilGone() override { device_->Pnp().WaitUntilIdle(); }
    void Replug() override
    {
        sim::WaitForDeferredCloses();
        device_->Pnp().WaitUntilIdle();
        device_->PlugInAgain();
        ASSERT_NE(device_->Fdo(), nullptr) << "the device enumerates again";
        device_->NewRequests();
    }

    std::vector<BusRecord> NewRequests() override
    {
        std::vector<BusRecord> records;
        for (const sim::UsbRequestRecord& record : device_->NewRequests()) {
            if (record.kind != sim::UsbRequestKind::Power && record.kind != sim::UsbRequestKind::Other &&
                record.kind != sim::UsbRequestKind::OtherInternalControl) {
                records.push_back(ToBusRecord(record));
            }
        }
        return records;
    }
    void LetClosesLand() override { sim::WaitForDeferredCloses(); }
    std::vector<std::string> SerialCommPorts() override
    {
        std::vector<std::string> ports;
        for (const std::u16string& name : sim::Registry::DeviceMapValueNames(u"SERIALCOMM")) {
            std::optional<sim::RegistryValue> value = sim::Registry::DeviceMapValue(u"SERIALCOMM", name);
            std::string text;
            for (size_t i = 0; value && i + 1 < value->data.size(); i += 2) {
                if (value->data[i] != 0) {
                    text.push_back(static_cast<char>(value->data[i]));
                }
            }
            ports.push_back(text);
        }
        return ports;
    }

private:
    std::shared_ptr<ArmableLoopback> model_ = std::make_shared<ArmableLoopback>();
    std::unique_ptr<UsbDeviceUnderTest> device_;
};

}  // namespace

std::unique_ptr<ScenarioDevice> MakeScenarioDevice()
{
    return std::make_unique<SimScenarioDevice>();
}

}  // namespace bulkcom_test

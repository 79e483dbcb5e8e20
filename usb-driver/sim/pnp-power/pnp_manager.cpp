#include "pnp_manager.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include "kernel/bugcheck.h"
#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/irp.h"
#include "kernel/irql.h"

namespace sim {

namespace {

// The requests Windows does not let a driver fail: a driver that cannot
// give up its device fails the query before them instead.
bool MayNotFail(UCHAR minorFunction)
{
    return minorFunction == IRP_MN_STOP_DEVICE || minorFunction == IRP_MN_REMOVE_DEVICE ||
           minorFunction == IRP_MN_SURPRISE_REMOVAL || minorFunction == IRP_MN_CANCEL_STOP_DEVICE ||
           minorFunction == IRP_MN_CANCEL_REMOVE_DEVICE;
}

void CheckNotFailed(PIRP irp, UCHAR minorFunction, PDEVICE_OBJECT physicalDevice)
{
    std::string name = minorFunction == IRP_MN_STOP_DEVICE          ? "IRP_MN_STOP_DEVICE"
                       : minorFunction == IRP_MN_REMOVE_DEVICE      ? "IRP_MN_REMOVE_DEVICE"
                       : minorFunction == IRP_MN_SURPRISE_REMOVAL   ? "IRP_MN_SURPRISE_REMOVAL"
                       : minorFunction == IRP_MN_CANCEL_STOP_DEVICE ? "IRP_MN_CANCEL_STOP_DEVICE"
                                                                    : "IRP_MN_CANCEL_REMOVE_DEVICE";
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", name + " failed; Windows does not let a driver fail it", irp);
    }
    if (!RequestReached(irp, physicalDevice)) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 name + " completed without reaching the bus driver; every driver must pass it down", irp);
    }
}

}  // namespace

PnpManager::PnpManager(PDRIVER_INITIALIZE driverEntry) : driver_(CreateDriverObject(u"\\Driver\\bulkcom"))
{
    std::u16string servicePath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\bulkcom";
    UNICODE_STRING registryPath{static_cast<USHORT>(servicePath.size() * 2),
                                static_cast<USHORT>(servicePath.size() * 2), servicePath.data()};
    entryStatus_ = driverEntry(driver_, &registryPath);
}

PnpManager::~PnpManager()
{
    {
        std::lock_guard lock(jobLock_);
        stopping_ = true;
    }
    jobsChanged_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    if (driver_->DriverUnload != nullptr) {
        driver_->DriverUnload(driver_);
    }
    DeleteDriverObject(driver_);
}

NTSTATUS PnpManager::AddDevice(PDEVICE_OBJECT physicalDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "AddDevice");
    PDEVICE_OBJECT below = AttachedDeviceOf(physicalDevice);
    NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, physicalDevice);
    if (CurrentIrql() != PASSIVE_LEVEL) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "AddDevice returned above PASSIVE_LEVEL", driver_);
    }
    PDEVICE_OBJECT top = AttachedDeviceOf(physicalDevice);
    if (NT_SUCCESS(status) && top != below && (top->Flags & DO_DEVICE_INITIALIZING) != 0) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "AddDevice succeeded but left DO_DEVICE_INITIALIZING set", top);
    }
    if (!NT_SUCCESS(status) && top != below) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "AddDevice failed but left a device attached to the stack", top);
    }
    if (NT_SUCCESS(status)) {
        power_.AddDeviceStack(physicalDevice);
    }
    return status;
}

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction,
                             const std::function<void(IO_STACK_LOCATION&)>& prepare)
{
    if (minorFunction == IRP_MN_QUERY_REMOVE_DEVICE && !MayQueryRemove(physicalDevice)) {
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    return SendRequest(physicalDevice, IRP_MJ_PNP, minorFunction, STATUS_NOT_SUPPORTED, prepare);
}

NTSTATUS PnpManager::SendRequest(PDEVICE_OBJECT physicalDevice, UCHAR majorFunction, UCHAR minorFunction,
                                 NTSTATUS preset, const std::function<void(IO_STACK_LOCATION&)>& prepare)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "the Plug and Play manager");
    bool removal = majorFunction == IRP_MJ_PNP && minorFunction == IRP_MN_REMOVE_DEVICE;
    if (removal) {
        KernelExtensionOf(physicalDevice).Started = false;
    }
    PDEVICE_OBJECT top = AttachedDeviceOf(physicalDevice);

    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool done = false;
    NTSTATUS finalStatus = STATUS_PENDING;
    PIRP irp = AllocateKernelIrp(top->StackSize, [&](PIRP completed) {
        if (majorFunction == IRP_MJ_PNP && MayNotFail(minorFunction)) {
            CheckNotFailed(completed, minorFunction, physicalDevice);
        }
        std::lock_guard lock(doneLock);
        finalStatus = completed->IoStatus.Status;
        FreeKernelIrp(completed);
        done = true;
        doneSignal.notify_all();
    });
    irp->IoStatus.Status = preset;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->MinorFunction = minorFunction;
    if (prepare) {
        prepare(*stack);
    }
    IofCallDriver(top, irp);
    std::unique_lock lock(doneLock);
    doneSignal.wait(lock, [&] { return done; });
    if (majorFunction == IRP_MJ_PNP && minorFunction == IRP_MN_START_DEVICE) {
        KernelExtensionOf(physicalDevice).Started = NT_SUCCESS(finalStatus);
    }
    if (removal) {
        // Whatever interface of a removed device its driver left enabled,
        // Windows disables itself.
        DeviceInterfaces::DisableAllOf(physicalDevice);
        power_.RemoveDeviceStack(physicalDevice);
        std::lock_guard watchersLock(watchersLock_);
        watchers_.erase(physicalDevice);
    }
    return finalStatus;
}

NTSTATUS PnpManager::Enumerate(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = AddDevice(physicalDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SendPnp(physicalDevice, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE);
        return status;
    }
    capabilities_ = DEVICE_CAPABILITIES{};
    capabilities_.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities_.Version = 1;
    capabilities_.Address = 0xFFFFFFFF;
    capabilities_.UINumber = 0xFFFFFFFF;
    return SendPnp(physicalDevice, IRP_MN_QUERY_CAPABILITIES, [this](IO_STACK_LOCATION& stack) {
        stack.Parameters.DeviceCapabilities.Capabilities = &capabilities_;
    });
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT physicalDevice)
{
    NTSTATUS status = SendPnp(physicalDevice, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(physicalDevice, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = SendPnp(physicalDevice, IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SendPnp(physicalDevice, IRP_MN_START_DEVICE);
}

NTSTATUS PnpManager::QueryAndRemove(PDEVICE_OBJECT physicalDevice, PNP_VETO_TYPE* vetoType)
{
    if (!MayQueryRemove(physicalDevice)) {
        if (vetoType != nullptr) {
            *vetoType = PNP_VetoOutstandingOpen;
        }
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    NTSTATUS status = SendRequest(physicalDevice, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_NOT_SUPPORTED, {});
    if (!NT_SUCCESS(status)) {
        SendPnp(physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
        if (vetoType != nullptr) {
            *vetoType = PNP_VetoDevice;
        }
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    return SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE);
}

void PnpManager::WatchQueryRemove(PDEVICE_OBJECT physicalDevice, std::function<void()> notice)
{
    std::lock_guard lock(watchersLock_);
    watchers_[physicalDevice].push_back(std::move(notice));
}

bool PnpManager::MayQueryRemove(PDEVICE_OBJECT physicalDevice)
{
    std::vector<std::function<void()>> watchers;
    {
        std::lock_guard lock(watchersLock_);
        if (auto found = watchers_.find(physicalDevice); found != watchers_.end()) {
            watchers = found->second;
        }
    }
    // Told without the lock: a watcher closes its files from here.
    for (const auto& notice : watchers) {
        notice();
    }
    // A file object counts until its close, so a closed handle whose
    // requests are still pending keeps the device open.
    return !StackReferenced(physicalDevice);
}

void PnpManager::ReportUnplugged(PDEVICE_OBJECT physicalDevice, std::function<void()> comesBack)
{
    Post([this, physicalDevice, comesBack = std::move(comesBack)] {
        SendPnp(physicalDevice, IRP_MN_SURPRISE_REMOVAL);
        // Handles reach the stack through the physical device's name; the
        // last close releases the last reference to it.
        WhenUnreferenced(physicalDevice, [this, physicalDevice, comesBack] {
            Post([this, physicalDevice, comesBack] {
                SendPnp(physicalDevice, IRP_MN_REMOVE_DEVICE);
                if (comesBack) {
                    comesBack();
                }
            });
        });
    });
}

void PnpManager::WaitUntilIdle()
{
    std::unique_lock lock(jobLock_);
    jobsChanged_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

void PnpManager::Post(std::function<void()> job)
{
    std::lock_guard lock(jobLock_);
    jobs_.push_back(std::move(job));
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { RunJobs(); });
    }
    jobsChanged_.notify_all();
}

void PnpManager::RunJobs()
{
    std::unique_lock lock(jobLock_);
    for (;;) {
        jobsChanged_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        running_ = true;
        lock.unlock();
        {
            std::lock_guard still(power_.TransitionLock());
            job();
        }
        lock.lock();
        running_ = false;
        jobsChanged_.notify_all();
    }
}

}  // namespace sim

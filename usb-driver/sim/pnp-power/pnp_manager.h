// The Plug and Play manager: loads the function driver, adds devices to it
// and sends Plug and Play requests to the top of a device's stack. The
// power manager beside it knows every stack from its AddDevice to its
// removal.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "power_manager.h"

namespace sim {

// Why an orderly removal was refused, with the names and values of
// Windows' PNP_VETO_TYPE.
enum PNP_VETO_TYPE {
    // A file is still open on the stack; nothing was sent to it.
    PNP_VetoOutstandingOpen = 5,
    // A driver of the stack failed the query-remove.
    PNP_VetoDevice = 6,
};

class PnpManager {
public:
    // Creates the driver object and runs the driver's entry point.
    explicit PnpManager(PDRIVER_INITIALIZE driverEntry);
    // Runs the driver's unload routine and deletes the driver object.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS EntryStatus() const { return entryStatus_; }

    // Calls the driver's AddDevice for the physical device object; a device
    // added with success must have cleared DO_DEVICE_INITIALIZING.
    NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);

    // Sends a request to the top of the physical device's stack at
    // PASSIVE_LEVEL, with STATUS_NOT_SUPPORTED preset, and waits for its
    // completion. prepare may fill in the parameters. A query-remove goes
    // as Windows sends it: the device's watchers are told first, and while
    // a file is still open on the stack nothing is sent and the result is
    // STATUS_PLUGPLAY_QUERY_VETOED.
    NTSTATUS SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction,
                     const std::function<void(IO_STACK_LOCATION&)>& prepare = {});
    NTSTATUS SendRequest(PDEVICE_OBJECT physicalDevice, UCHAR majorFunction, UCHAR minorFunction, NTSTATUS preset,
                         const std::function<void(IO_STACK_LOCATION&)>& prepare);

    // Windows' sequences, one request at a time. Enumeration: AddDevice,
    // the start request and, once started, a capabilities query; a failed
    // start is followed by the remove request.
    NTSTATUS Enumerate(PDEVICE_OBJECT physicalDevice);
    // Resource rebalance: query-stop, stop and start again; a vetoed
    // query-stop is cancelled instead.
    NTSTATUS Rebalance(PDEVICE_OBJECT physicalDevice);
    // An orderly removal: query-remove, then remove. A veto returns
    // STATUS_PLUGPLAY_QUERY_VETOED with its reason in *vetoType: files open
    // on the stack, and nothing was sent; or a driver that failed the
    // query-remove, which is then cancelled.
    NTSTATUS QueryAndRemove(PDEVICE_OBJECT physicalDevice, PNP_VETO_TYPE* vetoType = nullptr);
    // Someone with the device open who watches it, as an application that
    // registered its handle for device notifications or a driver registered
    // for target-device changes: told of each query-remove before the check
    // for open files, so that it can close its own. Watched until the
    // device's remove request.
    void WatchQueryRemove(PDEVICE_OBJECT physicalDevice, std::function<void()> notice);
    // The bus reports the device gone: surprise removal at once, and the
    // remove request once every handle to the device is closed. Both go
    // from the manager's own thread, as from Windows' Plug and Play worker.
    // Then, on that thread, comesBack runs: a device that attaches again
    // (after a port cycle) is the same device node, which can enumerate
    // only once its removal is done.
    void ReportUnplugged(PDEVICE_OBJECT physicalDevice, std::function<void()> comesBack = {});
    // Returns once everything reported so far has been sent, except remove
    // requests still waiting for handles to close.
    void WaitUntilIdle();
    // The capabilities the stack reported in the last enumeration.
    const DEVICE_CAPABILITIES& LastCapabilities() const { return capabilities_; }

    PowerManager& Power() { return power_; }

private:
    // Tells the watchers, then checks that no file is open on the stack.
    bool MayQueryRemove(PDEVICE_OBJECT physicalDevice);
    void Post(std::function<void()> job);
    void RunJobs();

    PDRIVER_OBJECT driver_;
    NTSTATUS entryStatus_;
    DEVICE_CAPABILITIES capabilities_{};
    PowerManager power_;

    std::mutex watchersLock_;
    std::map<PDEVICE_OBJECT, std::vector<std::function<void()>>> watchers_;

    std::mutex jobLock_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace sim

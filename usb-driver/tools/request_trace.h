// --trace: every request that crosses a device object, one line each: the
// device, the major function with its minor function or control code, the
// status its dispatch routine returned and the bytes moved. Requests a
// driver sends while it handles one are listed, indented, below it; a
// request left pending gets a second line when it completes.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class RequestTrace {
public:
    // Installs the kernel hooks it reads; the destructor removes them.
    RequestTrace();
    ~RequestTrace();
    RequestTrace(const RequestTrace&) = delete;
    RequestTrace& operator=(const RequestTrace&) = delete;

    // What the device objects of the driver are called in the trace.
    void NameDevicesOf(PDRIVER_OBJECT driver, std::string name);

private:
    // How a request was last completed, taken as the completion begins:
    // for a USB transfer, the bytes its URB moved.
    struct Completion {
        IO_STATUS_BLOCK status;
        std::optional<ULONG> transferred;
    };
    // A request inside a dispatch routine, and its line.
    struct Call {
        PIRP irp;
        UCHAR major;
        size_t line;
    };
    // The requests one thread has inside dispatch routines, and their
    // lines, printed once the outermost returns so that a request comes
    // before those its driver sent for it.
    struct ThreadLog {
        std::vector<Call> calls;
        std::vector<std::string> lines;
        // The request is in none of them: it is arriving at, or has left,
        // the top of its way down.
        bool Outermost(PIRP irp) const
        {
            return std::none_of(calls.begin(), calls.end(), [irp](const Call& call) { return call.irp == irp; });
        }
    };
    // A request left pending, told again once it completes.
    struct Pending {
        std::string line;
        std::thread::id sender;
    };

    void Arriving(PDEVICE_OBJECT device, PIRP irp);
    void Dispatched(NTSTATUS returned);
    void Completing(PIRP irp);
    std::string DeviceName(PDEVICE_OBJECT device);

    // Held while printing too, so that blocks come out whole.
    std::mutex lock_;
    std::map<PDRIVER_OBJECT, std::string> names_;
    std::map<std::thread::id, ThreadLog> threads_;
    std::map<PIRP, Completion> completions_;
    std::map<PIRP, Pending> pending_;
};

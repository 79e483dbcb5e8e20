// What the control-request harness does with one input: a loopback device
// enumerated, its port opened overlapped, then the operations the input
// decodes to (control_input.h), each checking what the application must
// see, and an ending that closes the port and removes the device. Told of
// a query-remove, the application ends what it holds and closes the port,
// as Windows asks only once no file is open on the device. Requests
// the driver holds stay in flight until an operation or the ending ends
// them; every one of them must have completed by the end.
#pragma once

#include <memory>
#include <vector>

#include "control_input.h"
#include "fuzz_input.h"
#include "overlapped_request.h"
#include "plugged_device.h"

namespace bulkcom_fuzz {

class ControlSession {
public:
    explicit ControlSession(sim::CompletionMode mode);
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    void Run(control_input::Operation operation, FuzzInput& input);
    void End(control_input::Ending ending);

private:
    void SerialControl(FuzzInput& input);
    void AnyControl(FuzzInput& input);
    void HoldWait(FuzzInput& input);
    void Purge(FuzzInput& input);
    void WaitFromEndingThread(FuzzInput& input);
    void CloseWithWaitHeld(FuzzInput& input);
    void RoundTrip(FuzzInput& input);
    void QueryStopThenCancel(FuzzInput& input);
    void QueryRemoveThenCancel(FuzzInput& input);
    void CommApiCall(FuzzInput& input);
    void CloseAndReopen();

    // Sends the control request; one the driver holds is kept in flight.
    void SendControl(ULONG code, std::vector<uint8_t> input, size_t outputLength);
    // Waits until every request kept in flight has completed.
    void AwaitHeld();
    // A purge: the held wait, if any, ends with it.
    void PurgeHeld();
    // A read or write of the port, waited for; returns the byte count, or
    // fails the run when the call fails.
    DWORD Transfer(bool read, std::vector<uint8_t>& buffer);
    void SetTimeouts();
    void Open();
    void Close();
    // An orderly removal, or an unplug where an open file vetoes it.
    void Remove();

    PluggedDevice device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<OverlappedRequest>> held_;
};

}  // namespace bulkcom_fuzz

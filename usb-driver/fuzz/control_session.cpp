#include "control_session.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "application_side.h"
#include "fuzz_checks.h"
#include "usb/loopback_device.h"

namespace bulkcom_fuzz {

using control_input::CommCall;
using control_input::Ending;
using control_input::Operation;

namespace {

std::vector<uint8_t> MaskBytes(uint32_t mask)
{
    std::vector<uint8_t> bytes(sizeof mask);
    std::memcpy(bytes.data(), &mask, sizeof mask);
    return bytes;
}

}  // namespace

ControlSession::ControlSession(sim::CompletionMode mode) : device_(std::make_shared<sim::LoopbackDevice>(), mode)
{
    Require(NT_SUCCESS(device_.Pnp().Enumerate(device_.Pdo())), "the loopback device did not start");
    // As an application that registered its handle for device notifications
    // does when asked whether the device may go: it ends what it holds and
    // closes the port.
    device_.Pnp().WatchQueryRemove(device_.Pdo(), [this] {
        if (port_ != INVALID_HANDLE_VALUE) {
            PurgeHeld();
            Close();
        }
    });
    Open();
}

void ControlSession::Run(Operation operation, FuzzInput& input)
{
    switch (operation) {
    case Operation::SerialControl:
        SerialControl(input);
        return;
    case Operation::AnyControl:
        AnyControl(input);
        return;
    case Operation::HoldWait:
        HoldWait(input);
        return;
    case Operation::CancelIo:
        Require(::CancelIo(port_), "CancelIo failed on an open port");
        AwaitHeld();
        return;
    case Operation::Purge:
        Purge(input);
        return;
    case Operation::WaitFromEndingThread:
        WaitFromEndingThread(input);
        return;
    case Operation::CloseWithWaitHeld:
        CloseWithWaitHeld(input);
        return;
    case Operation::RoundTrip:
        RoundTrip(input);
        return;
    case Operation::QueryStopThenCancel:
        QueryStopThenCancel(input);
        return;
    case Operation::Rebalance:
        Require(NT_SUCCESS(device_.Pnp().Rebalance(device_.Pdo())), "a rebalance of the loopback device failed");
        return;
    case Operation::QueryRemoveThenCancel:
        QueryRemoveThenCancel(input);
        return;
    case Operation::CommCall:
        CommApiCall(input);
        return;
    case Operation::CloseAndReopen:
        CloseAndReopen();
        return;
    case Operation::Count:
        break;
    }
    Fail("an operation the harness does not know");
}

void ControlSession::End(Ending ending)
{
    switch (ending) {
    case Ending::CloseThenRemove:
        Close();
        Remove();
        break;
    case Ending::RemoveWhileOpen:
        Remove();
        break;
    case Ending::UnplugThenClose:
        device_.Unplug();
        Close();
        break;
    case Ending::Count:
        Fail("an ending the harness does not know");
    }
    // A removal ends whatever the driver still held.
    AwaitHeld();
    sim::WaitForDeferredCloses();
    device_.Pnp().WaitUntilIdle();
}

void ControlSession::SerialControl(FuzzInput& input)
{
    ULONG code = control_input::SerialControlCodes[input.Byte() % control_input::SerialControlCount];
    size_t inputLength = input.Byte() % (control_input::MaxSerialLength + 1);
    size_t outputLength = input.Byte() % (control_input::MaxSerialLength + 1);
    SendControl(code, input.Bytes(inputLength), outputLength);
}

void ControlSession::AnyControl(FuzzInput& input)
{
    ULONG code = input.Long();
    size_t inputLength = input.Word() % (control_input::MaxAnyLength + 1);
    size_t outputLength = input.Word() % (control_input::MaxAnyLength + 1);
    SendControl(code, input.Bytes(inputLength), outputLength);
}

void ControlSession::HoldWait(FuzzInput& input)
{
    std::vector<uint8_t> mask = MaskBytes(input.Long());
    SendControl(IOCTL_SERIAL_WAIT_ON_MASK, std::move(mask), input.Byte() % 9);
}

void ControlSession::Purge(FuzzInput& input)
{
    uint32_t mask = input.Long();
    BOOL purged;
    if ((input.Byte() & 1) != 0) {
        purged = PurgeComm(port_, mask);
    } else {
        OverlappedRequest request;
        request.input = MaskBytes(mask);
        DWORD bytes = 0;
        purged = DeviceIoControl(port_, IOCTL_SERIAL_PURGE, BufferOf(request.input), LengthOf(request.input), nullptr,
                                 0, &bytes, request.Overlapped());
        Require(purged || GetLastError() != ERROR_IO_PENDING, "the driver held a purge");
    }
    Require(purged, "a purge with its 4-byte mask failed on a started port");
    AwaitHeld();
}

void ControlSession::WaitFromEndingThread(FuzzInput& input)
{
    OverlappedRequest request;
    request.input = MaskBytes(input.Long());
    request.output.resize(sizeof(ULONG));
    bool pending = false;
    std::thread sender([&] {
        sim::ApplicationThreadScope scope;
        DWORD bytes = 0;
        pending = !DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, BufferOf(request.input), LengthOf(request.input),
                                   BufferOf(request.output), LengthOf(request.output), &bytes, request.Overlapped()) &&
                  GetLastError() == ERROR_IO_PENDING;
    });
    sender.join();
    Require(!pending || request.Completed(), "a wait outlived the end of the thread that sent it");
}

void ControlSession::CloseWithWaitHeld(FuzzInput& input)
{
    // The close request comes only once no request holds the file: ending
    // this thread's held wait first lets the sender's wait decide it.
    PurgeHeld();
    OverlappedRequest request;
    request.input = MaskBytes(input.Long());
    bool pending = false;
    BOOL closed = FALSE;
    std::thread sender([&] {
        sim::ApplicationThreadScope scope;
        DWORD bytes = 0;
        pending = !DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, BufferOf(request.input), LengthOf(request.input),
                                   nullptr, 0, &bytes, request.Overlapped()) &&
                  GetLastError() == ERROR_IO_PENDING;
        closed = CloseHandle(port_);
    });
    sender.join();
    port_ = INVALID_HANDLE_VALUE;
    Require(closed, "closing the port with a wait held failed");
    Require(!pending || request.Completed(), "a wait outlived the end of the thread that sent it");
    Open();
}

void ControlSession::RoundTrip(FuzzInput& input)
{
    size_t length = 1 + input.Word() % control_input::MaxMessage;
    size_t extra = 1 + input.Byte() % 64;
    uint8_t first = input.Byte();
    std::vector<uint8_t> message(length);
    for (size_t i = 0; i < length; i++) {
        message[i] = static_cast<uint8_t>(first + i);
    }
    // Whatever timeouts the input set: these never run out while the
    // loopback device holds the message.
    SetTimeouts();
    Require(Transfer(false, message) == length, "a write to the loopback device was not taken whole");
    // Room for more than the message, so that its end mark ends the read.
    std::vector<uint8_t> echo(length + extra);
    Require(Transfer(true, echo) == length, "the loopback device's echo came back with another length");
    Require(std::equal(message.begin(), message.end(), echo.begin()), "the echo differs from the message");
}

void ControlSession::QueryStopThenCancel(FuzzInput& input)
{
    bool between = (input.Byte() & 1) != 0;
    device_.SendPnp(IRP_MN_QUERY_STOP_DEVICE);
    // Control requests never wait for the device, so one may come between.
    if (between) {
        SerialControl(input);
    }
    Require(NT_SUCCESS(device_.SendPnp(IRP_MN_CANCEL_STOP_DEVICE)), "a cancel after a query-stop failed");
}

void ControlSession::QueryRemoveThenCancel(FuzzInput& input)
{
    bool between = (input.Byte() & 1) != 0;
    Require(NT_SUCCESS(device_.SendPnp(IRP_MN_QUERY_REMOVE_DEVICE)), "a query-remove the port was closed for failed");
    if (between) {
        HANDLE refused = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
        Require(refused == INVALID_HANDLE_VALUE, "the port opened while a query-remove was in force");
    }
    Require(NT_SUCCESS(device_.SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE)), "a cancel after a query-remove failed");
    Open();
}

void ControlSession::CommApiCall(FuzzInput& input)
{
    auto call = static_cast<CommCall>(input.Byte() % static_cast<uint8_t>(CommCall::Count));
    switch (call) {
    case CommCall::GetCommState: {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ::GetCommState(port_, &dcb);
        return;
    }
    case CommCall::SetCommState: {
        DCB dcb;
        std::vector<uint8_t> bytes = input.Bytes(sizeof dcb);
        std::memcpy(&dcb, bytes.data(), sizeof dcb);
        ::SetCommState(port_, &dcb);
        return;
    }
    case CommCall::SetCommMask:
        ::SetCommMask(port_, input.Long());
        return;
    case CommCall::GetCommMask: {
        DWORD mask = 0;
        ::GetCommMask(port_, &mask);
        return;
    }
    case CommCall::EscapeCommFunction:
        ::EscapeCommFunction(port_, input.Byte());
        return;
    case CommCall::ClearCommError: {
        DWORD errors = 0;
        COMSTAT status{};
        ::ClearCommError(port_, &errors, &status);
        return;
    }
    case CommCall::GetCommModemStatus: {
        DWORD status = 0;
        ::GetCommModemStatus(port_, &status);
        return;
    }
    case CommCall::GetCommProperties: {
        COMMPROP properties{};
        ::GetCommProperties(port_, &properties);
        return;
    }
    case CommCall::SetupComm: {
        DWORD in = input.Long();
        ::SetupComm(port_, in, input.Long());
        return;
    }
    case CommCall::TransmitCommChar:
        ::TransmitCommChar(port_, static_cast<char>(input.Byte()));
        return;
    case CommCall::GetCommTimeouts: {
        COMMTIMEOUTS timeouts{};
        ::GetCommTimeouts(port_, &timeouts);
        return;
    }
    case CommCall::SetCommTimeouts: {
        COMMTIMEOUTS timeouts;
        std::vector<uint8_t> bytes = input.Bytes(sizeof timeouts);
        std::memcpy(&timeouts, bytes.data(), sizeof timeouts);
        ::SetCommTimeouts(port_, &timeouts);
        return;
    }
    case CommCall::WaitCommEvent: {
        auto request = std::make_unique<OverlappedRequest>();
        request->output.resize(sizeof(DWORD));
        auto* events = reinterpret_cast<LPDWORD>(request->output.data());
        if (!::WaitCommEvent(port_, events, request->Overlapped()) && GetLastError() == ERROR_IO_PENDING) {
            held_.push_back(std::move(request));
        }
        return;
    }
    case CommCall::Count:
        break;
    }
    Fail("a comm call the harness does not know");
}

void ControlSession::CloseAndReopen()
{
    PurgeHeld();
    Close();
    Open();
}

void ControlSession::SendControl(ULONG code, std::vector<uint8_t> input, size_t outputLength)
{
    auto request = std::make_unique<OverlappedRequest>();
    request->input = std::move(input);
    request->output.assign(outputLength, 0xA5);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(port_, code, BufferOf(request->input), LengthOf(request->input),
                              BufferOf(request->output), LengthOf(request->output), &bytes, request->Overlapped());
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        held_.push_back(std::move(request));
        return;
    }
    Require(!ok || bytes <= outputLength, "a control request returned more bytes than its output buffer holds");
}

void ControlSession::AwaitHeld()
{
    for (auto& request : held_) {
        request->Await();
    }
    held_.clear();
}

void ControlSession::PurgeHeld()
{
    ULONG mask = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR;
    Require(PurgeComm(port_, mask), "a purge failed on a started port");
    AwaitHeld();
}

DWORD ControlSession::Transfer(bool read, std::vector<uint8_t>& buffer)
{
    OverlappedRequest request;
    DWORD bytes = 0;
    BOOL ok = read ? ReadFile(port_, buffer.data(), LengthOf(buffer), &bytes, request.Overlapped())
                   : WriteFile(port_, buffer.data(), LengthOf(buffer), &bytes, request.Overlapped());
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port_, request.Overlapped(), &bytes, TRUE);
    }
    Require(ok, read ? "a read of the loopback device failed" : "a write to the loopback device failed");
    return bytes;
}

void ControlSession::SetTimeouts()
{
    COMMTIMEOUTS timeouts{0, 0, 500, 0, 500};
    Require(SetCommTimeouts(port_, &timeouts), "setting the timeouts failed on a started port");
}

void ControlSession::Open()
{
    sim::WaitForDeferredCloses();
    port_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
    Require(port_ != INVALID_HANDLE_VALUE, "the port of a started device did not open");
    SetTimeouts();
}

void ControlSession::Remove()
{
    // A request still pending on the closed port keeps its file open, which
    // vetoes the removal; the device goes when it is unplugged instead.
    bool pending = std::any_of(held_.begin(), held_.end(), [](const auto& request) { return !request->Completed(); });
    sim::PNP_VETO_TYPE veto{};
    if (!NT_SUCCESS(device_.Pnp().QueryAndRemove(device_.Pdo(), &veto))) {
        Require(pending && veto == sim::PNP_VetoOutstandingOpen, "an orderly removal was refused");
        device_.Unplug();
    }
}

void ControlSession::Close()
{
    Require(CloseHandle(port_), "closing the port failed");
    port_ = INVALID_HANDLE_VALUE;
}

}  // namespace bulkcom_fuzz

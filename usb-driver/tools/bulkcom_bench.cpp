// Benchmarks of the driver's data path on the simulated platform, from its
// transfer routine up to the application's WriteFile and ReadFile, next to
// a baseline that does the same USB work without the driver: the raw bulk
// URBs submitted to the bus driver directly. Pool fill is off, so the
// figures measure the path, not the simulator's debugging aids. The
// per-device round trips also run on two devices at once, one thread each,
// to show what the platform serialises that Windows would not.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "kernel/kernel.h"
#include "kernel/object_namespace.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "pnp-power/pnp_manager.h"
#include "usb/loopback_device.h"
#include "usb/usb.h"
#include "usb/usb_bus.h"
#include "win32_api.h"

namespace {

// Started devices on loopback functions of one bus, completing in the
// caller's thread, named COM5, COM6 and so on.
class LoopbackBench {
public:
    explicit LoopbackBench(int devices = 1)
    {
        sim::ResetKernel();
        sim::Pool::SetFillPattern(false);
        bus_ = std::make_unique<sim::UsbBus>(sim::CompletionMode::Synchronous);
        pnp_ = std::make_unique<sim::PnpManager>(DriverEntry);
        for (int index = 0; index < devices; index++) {
            PDEVICE_OBJECT pdo = bus_->CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>(),
                                                            sim::ToU16(std::to_string(index + 1)));
            sim::Registry::SetHardwareString(pdo, u"PortName", sim::ToU16(PortName(index)));
            pnp_->AddDevice(pdo);
            pnp_->SendPnp(pdo, IRP_MN_START_DEVICE);
            pdos_.push_back(pdo);
        }
    }
    ~LoopbackBench()
    {
        for (PDEVICE_OBJECT pdo : pdos_) {
            pnp_->SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
            bus_->DeletePhysicalDevice(pdo);
        }
        pnp_.reset();
        bus_.reset();
        sim::ResetKernel();
    }

    static std::string PortName(int index) { return "COM" + std::to_string(5 + index); }

    PDEVICE_OBJECT Fdo() const { return pdos_.front()->AttachedDevice; }
    PDEVICE_OBJECT Pdo() const { return pdos_.front(); }
    PDEVICE_EXTENSION Extension() const { return DeviceExtensionOf(Fdo()); }

private:
    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<PDEVICE_OBJECT> pdos_;
};

// One bulk URB straight to the bus driver, as a driver without an
// intermediate buffer, context or timeout would send it.
NTSTATUS SubmitRawTransfer(PDEVICE_OBJECT pdo, PUSBD_PIPE_INFORMATION pipe, bool read, PVOID buffer, ULONG length,
                           ULONG* moved)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe->PipeHandle;
    urb.TransferFlags = read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    urb.TransferBufferLength = length;
    urb.TransferBuffer = buffer;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    *moved = urb.TransferBufferLength;
    return status.Status;
}

// A write of the message and the read of its echo, through BulkTransfer. A
// message that fills the whole read buffer leaves its zero-length end mark
// for one more read, in both benchmarks alike.
void BM_BulkTransferRoundTrip(benchmark::State& state)
{
    const auto size = static_cast<ULONG>(state.range(0));
    LoopbackBench bench;
    std::vector<UCHAR> message(size, 0x5A);
    std::vector<UCHAR> echo(BulkBufferSize);
    LARGE_INTEGER timeout;
    timeout.QuadPart = 10'000'000;
    for (auto _ : state) {
        ULONG sent = 0;
        ULONG received = 0;
        BulkTransfer(bench.Fdo(), TransferOut, message.data(), size, &sent, &timeout);
        BulkTransfer(bench.Fdo(), TransferIn, echo.data(), BulkBufferSize, &received, &timeout);
        if (size == BulkBufferSize) {
            ULONG endMark = 0;
            BulkTransfer(bench.Fdo(), TransferIn, echo.data(), BulkBufferSize, &endMark, &timeout);
        }
        if (sent != size || received != size) {
            state.SkipWithError("the loopback round trip lost bytes");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
}

// The same two URBs submitted to the bus directly.
void BM_RawUrbRoundTrip(benchmark::State& state)
{
    const auto size = static_cast<ULONG>(state.range(0));
    LoopbackBench bench;
    std::vector<UCHAR> message(size, 0x5A);
    std::vector<UCHAR> echo(BulkBufferSize);
    for (auto _ : state) {
        ULONG sent = 0;
        ULONG received = 0;
        SubmitRawTransfer(bench.Pdo(), bench.Extension()->BulkOutPipe, false, message.data(), size, &sent);
        SubmitRawTransfer(bench.Pdo(), bench.Extension()->BulkInPipe, true, echo.data(), BulkBufferSize, &received);
        if (size == BulkBufferSize) {
            ULONG endMark = 0;
            SubmitRawTransfer(bench.Pdo(), bench.Extension()->BulkInPipe, true, echo.data(), BulkBufferSize, &endMark);
        }
        if (sent != size || received != size) {
            state.SkipWithError("the loopback round trip lost bytes");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
}

// The same round trip as an application makes it: WriteFile, then ReadFile
// of the same length, on a synchronous handle to \\.\COM5; each goes through
// the I/O manager's request and memory descriptor and the driver's gates.
void BM_Win32RoundTrip(benchmark::State& state)
{
    const auto size = static_cast<DWORD>(state.range(0));
    LoopbackBench bench;
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        state.SkipWithError("\\\\.\\COM5 did not open");
        return;
    }
    std::vector<char> message(size, 0x5A);
    std::vector<char> echo(size);
    for (auto _ : state) {
        DWORD written = 0;
        DWORD read = 0;
        BOOL ok = WriteFile(port, message.data(), size, &written, nullptr) &&
                  ReadFile(port, echo.data(), size, &read, nullptr);
        if (size == BulkBufferSize) {
            DWORD endMark = 0;
            ok = ok && ReadFile(port, echo.data(), size, &endMark, nullptr);
        }
        if (!ok || written != size || read != size) {
            state.SkipWithError("the loopback round trip through the COM port lost bytes");
            break;
        }
    }
    CloseHandle(port);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
}

// What one WaitCommEvent costs through the whole stack when the driver
// refuses it, as it refuses every wait without an input buffer: .NET's
// SerialPort event loop calls it again at once for as long as the port is
// open, so this is the price of each turn of that loop.
void BM_RefusedWaitCommEvent(benchmark::State& state)
{
    LoopbackBench bench;
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        state.SkipWithError("\\\\.\\COM5 did not open");
        return;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto _ : state) {
        DWORD events = 0;
        if (WaitCommEvent(port, &events, &overlapped) || GetLastError() != ERROR_INVALID_PARAMETER) {
            state.SkipWithError("WaitCommEvent was not refused");
            break;
        }
    }
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);
}

// One device and port per benchmark thread, set up before the threads start.
std::unique_ptr<LoopbackBench> perThreadBench;
std::vector<HANDLE> perThreadPorts;

void OpenPortPerThread(const benchmark::State& state)
{
    perThreadBench = std::make_unique<LoopbackBench>(state.threads());
    for (int index = 0; index < state.threads(); index++) {
        std::string path = "\\\\.\\" + LoopbackBench::PortName(index);
        perThreadPorts.push_back(
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
}

void ClosePortPerThread(const benchmark::State&)
{
    for (HANDLE port : perThreadPorts) {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
    }
    perThreadPorts.clear();
    perThreadBench.reset();
}

// The application's round trip of a short message, each thread on its own
// port. Iterations count round trips of all threads together; with process
// CPU time measured, the CPU column is the whole process's CPU time per
// round trip, and round_trips the rate in wall-clock time.
void BM_Win32RoundTripPerDevice(benchmark::State& state)
{
    constexpr DWORD size = 64;
    HANDLE port = perThreadPorts[static_cast<size_t>(state.thread_index())];
    if (port == INVALID_HANDLE_VALUE) {
        // Every thread still enters the loop, where the benchmark's threads meet.
        state.SkipWithError("a COM port did not open");
    }
    std::vector<char> message(size, 0x5A);
    std::vector<char> echo(size);
    for (auto _ : state) {
        DWORD written = 0;
        DWORD read = 0;
        BOOL ok = WriteFile(port, message.data(), size, &written, nullptr) &&
                  ReadFile(port, echo.data(), size, &read, nullptr);
        if (!ok || written != size || read != size) {
            state.SkipWithError("the loopback round trip through the COM port lost bytes");
        }
    }
    state.counters["round_trips"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Message sizes from one byte to a whole bulk buffer, each four times the last.
void ApplySizes(benchmark::internal::Benchmark* benchmark)
{
    benchmark->RangeMultiplier(4)->Range(1, BulkBufferSize);
}

}  // namespace

BENCHMARK(BM_RawUrbRoundTrip)->Apply(ApplySizes);
BENCHMARK(BM_BulkTransferRoundTrip)->Apply(ApplySizes);
BENCHMARK(BM_Win32RoundTrip)->Apply(ApplySizes);
BENCHMARK(BM_Win32RoundTripPerDevice)
    ->Setup(OpenPortPerThread)
    ->Teardown(ClosePortPerThread)
    ->Threads(1)
    ->Threads(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_RefusedWaitCommEvent);

BENCHMARK_MAIN();

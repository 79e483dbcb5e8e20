#include "sim/support/win32_port.h"

#include <algorithm>

#include "application_side.h"
#include "kernel/irql.h"

namespace bulkcom_test {

void Win32PortTest::SetUp()
{
    SimTest::SetUp();
    driver_.emplace(u"\\Driver\\bcport");
    port_ = driver_->CreateDevice(u"\\Device\\BcPort0");
    UNICODE_STRING target = Counted(u"\\Device\\BcPort0");
    ASSERT_EQ(IoCreateSymbolicLink(&dosName_, &target), STATUS_SUCCESS);
    for (UCHAR major : {UCHAR{IRP_MJ_CREATE}, UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
        On(major, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
    }
}

void Win32PortTest::TearDown()
{
    // The driver must still be there for a close the I/O manager owes.
    sim::WaitForDeferredCloses();
    IoDeleteSymbolicLink(&dosName_);
    driver_.reset();
    SimTest::TearDown();
}

HANDLE Win32PortTest::OpenPort(bool overlapped)
{
    return CreateFileA("\\\\.\\BCPORT", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

void Win32PortTest::On(UCHAR major, DispatchHandler handler)
{
    driver_->On(major, [this, handler = std::move(handler)](PDEVICE_OBJECT device, PIRP irp) {
        Record(irp);
        return handler(device, irp);
    });
}

std::vector<Arrival> Win32PortTest::Arrivals()
{
    std::lock_guard lock(arrivalsLock_);
    return arrivals_;
}

std::vector<UCHAR> Win32PortTest::Majors()
{
    std::vector<UCHAR> majors;
    for (const Arrival& arrival : Arrivals()) {
        majors.push_back(arrival.major);
    }
    return majors;
}

size_t Win32PortTest::CountOf(UCHAR major)
{
    std::vector<UCHAR> majors = Majors();
    return static_cast<size_t>(std::count(majors.begin(), majors.end(), major));
}

void Win32PortTest::Record(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard lock(arrivalsLock_);
    arrivals_.push_back({stack->MajorFunction, std::this_thread::get_id(), sim::CurrentIrql(), stack->FileObject});
}

}  // namespace bulkcom_test

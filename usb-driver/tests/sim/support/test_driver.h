// A driver written in place by a test of the platform: each major function it
// handles is a closure the test sets; the others keep the I/O manager's
// default refusal.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <string>

#include "platform/platform.h"

namespace bulkcom_test {

using DispatchHandler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

class TestDriver {
public:
    explicit TestDriver(std::u16string_view name);
    // Detaches and deletes the devices the test left, then the driver object.
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Object() const { return driver_; }

    void On(UCHAR majorFunction, DispatchHandler handler);
    // Marks each request of the kind pending and leaves it in *held for the
    // test to end.
    void Hold(UCHAR majorFunction, PIRP* held);

    // A device ready for requests: named when a name is given, attached to
    // the top of target's stack when a target is given.
    PDEVICE_OBJECT CreateDevice(std::u16string_view name = {}, PDEVICE_OBJECT target = nullptr);
    // The device that IoAttachDeviceToDeviceStack returned for this one.
    PDEVICE_OBJECT Below(PDEVICE_OBJECT device) const { return below_.at(device); }

private:
    static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT driver_;
    std::array<DispatchHandler, IRP_MJ_MAXIMUM_FUNCTION + 1> handlers_{};
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> below_;
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// Hands the request to the device below, keeping no completion routine.
NTSTATUS PassDown(PDEVICE_OBJECT below, PIRP irp);

// A counted string over a literal, for the routines that take one.
UNICODE_STRING Counted(const char16_t* text);

}  // namespace bulkcom_test

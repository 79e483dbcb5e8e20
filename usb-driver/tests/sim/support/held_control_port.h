// A port whose test driver holds every control request, cancellable, until
// the test completes it.
#pragma once

#include "sim/support/held_requests.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {

class Win32HeldControlTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return held_.Hold(irp); });
    }

    HeldRequests held_;
};

}  // namespace bulkcom_test

// A port for tests of the application side: a device named \Device\BcPort0
// with the DOS name BCPORT, whose test driver answers create, cleanup and
// close and records every request that reaches it, with the thread and the
// IRQL it arrived at.
#pragma once

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/support/test_driver.h"
#include "support/sim_test.h"
#include "win32_api.h"

namespace bulkcom_test {

struct Arrival {
    UCHAR major;
    std::thread::id thread;
    KIRQL irql;
    PFILE_OBJECT file;
};

class Win32PortTest : public SimTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens BCPORT, overlapped when asked.
    static HANDLE OpenPort(bool overlapped = false);

    // Sets the handler of a major function; its requests are recorded before
    // it runs.
    void On(UCHAR major, DispatchHandler handler);

    std::vector<Arrival> Arrivals();
    std::vector<UCHAR> Majors();
    size_t CountOf(UCHAR major);

    std::optional<TestDriver> driver_;
    PDEVICE_OBJECT port_ = nullptr;

private:
    void Record(PIRP irp);

    std::mutex arrivalsLock_;
    std::vector<Arrival> arrivals_;
    UNICODE_STRING dosName_ = Counted(u"\\DosDevices\\BCPORT");
};

}  // namespace bulkcom_test

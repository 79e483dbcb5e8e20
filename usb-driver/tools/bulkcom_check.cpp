// bulkcom-check: tells a device maker whether the bulkcom driver starts on
// a USB device, from the device's raw descriptors, by running the driver on
// the simulated Windows platform against a device that reports them.

#include <CLI/CLI.hpp>
#include <cstdio>

#include "descriptor_dump.h"
#include "device_check.h"
#include "kernel/kernel.h"

int main(int argc, char** argv)
{
    CLI::App app{"bulkcom-check: tells whether the bulkcom driver starts on a USB device, and which interface and "
                 "bulk pipes it takes or why it refuses the device. FILE holds the device's descriptors as Linux "
                 "gives them in /sys/bus/usb/devices/<device>/descriptors: the device descriptor, then each "
                 "configuration. Exits with 0 when the driver starts, 1 when it will not, 2 when the file cannot be "
                 "used, 3 when the driver misbehaved on the simulated platform."};
    std::string path;
    app.add_option("FILE", path, "the device's descriptors")->required();
    CLI11_PARSE(app, argc, argv);

    std::vector<UCHAR> bytes;
    std::string problem;
    if (!bulkcom_check::LoadDumpFile(path, &bytes, &problem)) {
        std::fprintf(stderr, "bulkcom-check: %s\n", problem.c_str());
        return bulkcom_check::ExitStatus(bulkcom_check::Verdict::Unusable);
    }
    bulkcom_check::ReportBugChecksAsDriverFaults();
    sim::ResetKernel();
    bulkcom_check::CheckResult result = bulkcom_check::CheckDevice(bytes);
    sim::ResetKernel();
    std::fputs(result.text.c_str(), stdout);
    return bulkcom_check::ExitStatus(result.verdict);
}

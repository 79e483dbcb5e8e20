// The simulator's scenario, end to end: a loopback USB device is plugged in
// and becomes a COM port; an application opens it, sets it up, writes a
// message and reads the echo; the system sleeps and resumes, and the echo
// works again; a query-remove comes while the port is open and is
// cancelled; the port is closed, the device unplugged, and the
// platform's checks show that nothing was left behind.
#pragma once

#include <string>

struct ScenarioOptions {
    std::string portName = "COM5";
    std::string message = "Hello from bulkcom";
    // Tell every request that crosses a device object.
    bool trace = false;
    // When set, the bus's URBs are written to this file as a USB capture
    // Wireshark reads.
    std::string pcap;
};

// Runs on a fresh simulated platform and returns the exit code: 0 when
// every step went as expected and the checks are clean.
int RunScenario(const ScenarioOptions& options);

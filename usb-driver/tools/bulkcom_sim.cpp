// bulkcom-sim: runs the driver on the simulated Windows platform through
// its whole life with one USB device, and tells each step as the system
// and an application see it.

#include <CLI/CLI.hpp>

#include "scenario.h"

int main(int argc, char** argv)
{
    CLI::App app{"bulkcom-sim: plugs a loopback USB device into a simulated Windows machine running the bulkcom "
                 "driver, opens the COM port it becomes, writes a message and reads the echo, sleeps and resumes the "
                 "system and reads the echo again, answers a cancelled query-remove, unplugs the device, and checks "
                 "that nothing was left behind. Exits with 0 only "
                 "when every step went as expected."};
    ScenarioOptions options;
    app.add_flag("--trace", options.trace,
                 "also list every request that crosses a device object: its function or control code, status "
                 "and bytes");
    app.add_option("--pcap", options.pcap,
                   "also write every URB the simulated USB bus receives, submitted and completed, to this file as "
                   "a USBPcap capture (pcap link type DLT_USBPCAP) that Wireshark reads");
    app.add_option("--port-name", options.portName, "the PortName value in the device's hardware key")
        ->capture_default_str();
    app.add_option("--message", options.message, "the text written to the port and read back")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string& text) {
                // The read that takes the echo back asks for one byte more,
                // and the driver moves at most 65536 bytes at a time.
                return text.empty() || text.size() > 65535 ? std::string("must be 1 to 65535 bytes long")
                                                           : std::string();
            },
            "1 to 65535 bytes"));
    CLI11_PARSE(app, argc, argv);
    return RunScenario(options);
}

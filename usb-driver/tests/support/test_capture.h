// USB captures of failing tests. With BULKCOM_CAPTURE_DIR set, each bus a
// test gives to CaptureForThisTest writes its URBs to one file per test,
// <dir>/<Suite>.<Test>.pcap ('/' of parameterised names as '_'), which is
// deleted when the test passes: a test that fails leaves its USB traffic for
// Wireshark.
#pragma once

#include "usb/usb_bus.h"

namespace bulkcom_test {

// Before the bus's first device, so that its enumeration is in the capture.
void CaptureForThisTest(sim::UsbBus& bus);

}  // namespace bulkcom_test

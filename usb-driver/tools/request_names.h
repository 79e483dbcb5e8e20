// The platform names of what a request asks for and how it ended, for the
// simulator's trace and the device check.
#pragma once

#include <string>

#include "platform/platform.h"

// IRP_MJ_..., or the number in hex when the function has no name here.
std::string MajorFunctionName(UCHAR major);

// IRP_MN_... of Plug and Play and power requests; empty for other majors.
std::string MinorFunctionName(UCHAR major, UCHAR minor);

// IOCTL_SERIAL_... and IOCTL_INTERNAL_USB_..., or the code in hex.
std::string ControlCodeName(ULONG code);

// URB_FUNCTION_..., or the number in hex.
std::string UrbFunctionName(USHORT function);

// USBD_STATUS_..., or the value in hex.
std::string UsbdStatusName(USBD_STATUS status);

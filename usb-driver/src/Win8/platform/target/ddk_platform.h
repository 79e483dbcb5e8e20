/*++

Module Name:

    ddk_platform.h

Abstract:

    Target declarations: mingw-w64's DDK headers plus what they lack.
    Only the compatibility fixes live here, nothing of the driver itself.

Environment:

    Target build only (x86_64-w64-mingw32-g++, kernel mode).

--*/

#pragma once

// wdm.h defines these two inline itself; in C++ the gnu_inline definitions
// from <intrin.h> would clash with them ("redeclared inline").
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

#include <usb.h>
#include <usbioctl.h>
#include <usbdi.h>

// usbdlib.h lacks extern "C": without it the USBD imports get C++ names
// and do not resolve against libusbd.a.
extern "C" {
#include <usbdlib.h>
}

#include <ntddser.h>

// Serial control codes and modem status bits that Windows' ntddser.h has
// and mingw's does not.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION
#define IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION
#define IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION                                                                     \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 41, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#endif
#ifndef SERIAL_MSR_DDSR
#define SERIAL_MSR_DDSR 0x02
#endif
#ifndef SERIAL_MSR_TERI
#define SERIAL_MSR_TERI 0x04
#endif
#ifndef SERIAL_MSR_DDCD
#define SERIAL_MSR_DDCD 0x08
#endif
#ifndef SERIAL_MSR_CTS
#define SERIAL_MSR_CTS 0x10
#endif
#ifndef SERIAL_MSR_DSR
#define SERIAL_MSR_DSR 0x20
#endif
#ifndef SERIAL_MSR_RI
#define SERIAL_MSR_RI 0x40
#endif
#ifndef SERIAL_MSR_DCD
#define SERIAL_MSR_DCD 0x80
#endif

// Wide literals are 16-bit on Windows; the host spells them u"..." instead.
#define WIDE(s) L##s

// IRQL and role annotations of the WDK's sal.h, which mingw does not ship;
// they document the contract and expand to nothing here.
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _Dispatch_type_
#define _Dispatch_type_(type)
#endif
#ifndef _Function_class_
#define _Function_class_(name)
#endif
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif

/*++

Module Name:

    host_platform.h

Abstract:

    The host build's whole platform: the Windows declarations that the
    simulated kernel implements, in place of the DDK headers.

Environment:

    Host build only.

--*/

#pragma once

#include "io.h"
#include "ke.h"
#include "nt_status.h"
#include "nt_types.h"
#include "registry.h"
#include "rtl.h"
#include "serial_records.h"
#include "usb_records.h"

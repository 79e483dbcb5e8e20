/*++

Module Name:

    platform.h

Abstract:

    The one header every driver source includes. It selects the
    declarations the driver is compiled against: the simulated Windows
    platform in the host build, the DDK in the target build. Keeping the
    choice here is what lets the driver sources stay free of host
    conditionals.

--*/

#pragma once

#if defined(BULKCOM_HOST_BUILD)
#include "host/host_platform.h"
#else
#include "target/ddk_platform.h"
#endif

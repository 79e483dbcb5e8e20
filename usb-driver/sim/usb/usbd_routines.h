// The USBD library routines the driver imports; their declarations are the
// platform's (usb_records.h). This header adds what tests need to know of them.
#pragma once

#include "kernel/pool.h"

namespace sim {

// The tag of the select-configuration request that USBD_CreateConfigurationRequestEx
// allocates. Windows does not document it; its owner frees the request with
// ExFreePool, which takes any tag.
inline constexpr ULONG UsbStackPoolTag = PoolTag("USBD");

}  // namespace sim

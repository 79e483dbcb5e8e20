/*++

Module Name:

    guid_definitions.cpp

Abstract:

    The single translation unit that gives the DDK's DEFINE_GUID
    declarations (GUID_DEVINTERFACE_COMPORT among them) their storage in
    the image. Everywhere else they stay extern declarations.

Environment:

    Target build only.

--*/

// Must precede the DDK headers so DEFINE_GUID emits definitions.
#include <initguid.h>

#include "platform/platform.h"

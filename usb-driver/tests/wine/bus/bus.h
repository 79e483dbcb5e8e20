/*
    bus.h: the pieces of the test USB bus driver (bctestbus.sys) that run
    under Wine's kernel beneath bulkcom.sys.

Environment:
    Kernel mode (Wine's driver host).
*/
#pragma once

#include <ntddk.h>

/* Visible with WINEDEBUG=+debugstr (BCTEST_WINEDEBUG for run-wine-stage.sh). */
#define BusNote(...) DbgPrint("bctestbus: " __VA_ARGS__)

/* Hooks every later load of bulkcom.sys; see version_hook.c. */
NTSTATUS StartVersionHook(void);
void StopVersionHook(void);

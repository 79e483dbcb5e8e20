/*
    test_bus_control.h: how a test client commands the test USB bus driver
    that runs under Wine beside bulkcom.sys.

Environment:
    Included by the test bus driver (kernel mode, C) and by the Win32 test
    client (user mode, C or C++). Both are built with mingw-w64.

    The bus creates a control device reachable as \\.\BulkcomTestBus. Wine's
    driver host dispatches one request at a time, and the bus may share it
    with bulkcom.sys: while a read blocks inside the driver, no command can
    reach the bus. So a client arms what must happen to a transfer before it
    sends that transfer.
*/
#pragma once

#define BCTEST_CONTROL_NAME_W L"\\\\.\\BulkcomTestBus"
#define BCTEST_DEVICE_TYPE 0x8B17

#define BCTEST_CODE(function)                                                                                          \
    (((BCTEST_DEVICE_TYPE) << 16) | ((0x0003) << 14) | ((function) << 2) | 0 /* METHOD_BUFFERED */)

/* The child leaves: the bus stops reporting it and asks Plug and Play to
   enumerate again; transfers waiting on it end as on an unplug. No buffers. */
#define IOCTL_BCTEST_UNPLUG BCTEST_CODE(0x801)
/* The child comes back as a fresh device with the same IDs. No buffers. */
#define IOCTL_BCTEST_REPLUG BCTEST_CODE(0x802)
/* Input: BCTEST_ARM. What happens to the next bulk transfer in a direction. */
#define IOCTL_BCTEST_ARM BCTEST_CODE(0x803)
/* Output: BCTEST_LOG. The requests the child received since the last clear. */
#define IOCTL_BCTEST_GET_LOG BCTEST_CODE(0x804)
/* Forgets the log and every armed action. No buffers. */
#define IOCTL_BCTEST_CLEAR BCTEST_CODE(0x805)

enum BCTEST_DIRECTION { BctestOut = 0, BctestIn = 1 };

enum BCTEST_ACTION {
    /* The transfer never completes until cancelled or the child leaves. */
    BctestNeverAnswer = 1,
    /* The transfer completes at once with Status and UsbdStatus. */
    BctestFail = 2,
    /* The child is unplugged as the transfer arrives (the transfer then ends
       as on an unplug). */
    BctestUnplugOnArrival = 3,
};

typedef struct _BCTEST_ARM {
    unsigned long Direction; /* BCTEST_DIRECTION */
    unsigned long Action;    /* BCTEST_ACTION */
    long Status;             /* NTSTATUS, for BctestFail */
    long UsbdStatus;         /* USBD_STATUS, for BctestFail */
} BCTEST_ARM;

enum BCTEST_KIND {
    BctestUrb = 1,        /* IOCTL_INTERNAL_USB_SUBMIT_URB; Function is the URB function */
    BctestPortStatus = 2, /* IOCTL_INTERNAL_USB_GET_PORT_STATUS */
    BctestResetPort = 3,  /* IOCTL_INTERNAL_USB_RESET_PORT */
    BctestCyclePort = 4,  /* IOCTL_INTERNAL_USB_CYCLE_PORT */
    BctestPnp = 5,        /* IRP_MJ_PNP; Function is the minor function */
};

typedef struct _BCTEST_RECORD {
    unsigned long Kind;        /* BCTEST_KIND */
    unsigned long Function;    /* URB function or Plug and Play minor function */
    unsigned long Endpoint;    /* endpoint address of a transfer or pipe reset, else 0 */
    unsigned long Length;      /* requested length of a transfer */
    unsigned long Transferred; /* bytes moved by a transfer */
    long Status;               /* final NTSTATUS */
} BCTEST_RECORD;

#define BCTEST_LOG_CAPACITY 256

typedef struct _BCTEST_LOG {
    unsigned long Count; /* records received since the last clear; only the first BCTEST_LOG_CAPACITY are kept */
    BCTEST_RECORD Records[BCTEST_LOG_CAPACITY];
} BCTEST_LOG;

#include "request_names.h"

#include <cstdio>
#include <map>

namespace {

// A name table entry spelled once: the constant and its own name.
#define NAMED(value)                                                                                                   \
    {                                                                                                                  \
        value, #value                                                                                                  \
    }

std::string Hex(const char* prefix, ULONG value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s 0x%X", prefix, static_cast<unsigned>(value));
    return text;
}

template <class Key>
std::string Lookup(const std::map<Key, const char*>& names, Key key, const char* prefix)
{
    auto found = names.find(key);
    return found != names.end() ? found->second : Hex(prefix, key);
}

}  // namespace

std::string MajorFunctionName(UCHAR major)
{
    static const std::map<UCHAR, const char*> names{
        NAMED(IRP_MJ_CREATE),
        NAMED(IRP_MJ_CLOSE),
        NAMED(IRP_MJ_READ),
        NAMED(IRP_MJ_WRITE),
        NAMED(IRP_MJ_QUERY_INFORMATION),
        NAMED(IRP_MJ_SET_INFORMATION),
        NAMED(IRP_MJ_FLUSH_BUFFERS),
        NAMED(IRP_MJ_DEVICE_CONTROL),
        NAMED(IRP_MJ_INTERNAL_DEVICE_CONTROL),
        NAMED(IRP_MJ_SHUTDOWN),
        NAMED(IRP_MJ_CLEANUP),
        NAMED(IRP_MJ_POWER),
        NAMED(IRP_MJ_SYSTEM_CONTROL),
        NAMED(IRP_MJ_PNP),
    };
    return Lookup(names, major, "IRP_MJ");
}

std::string MinorFunctionName(UCHAR major, UCHAR minor)
{
    static const std::map<UCHAR, const char*> pnp{
        NAMED(IRP_MN_START_DEVICE),
        NAMED(IRP_MN_QUERY_REMOVE_DEVICE),
        NAMED(IRP_MN_REMOVE_DEVICE),
        NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),
        NAMED(IRP_MN_STOP_DEVICE),
        NAMED(IRP_MN_QUERY_STOP_DEVICE),
        NAMED(IRP_MN_CANCEL_STOP_DEVICE),
        NAMED(IRP_MN_QUERY_DEVICE_RELATIONS),
        NAMED(IRP_MN_QUERY_INTERFACE),
        NAMED(IRP_MN_QUERY_CAPABILITIES),
        NAMED(IRP_MN_QUERY_RESOURCES),
        NAMED(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
        NAMED(IRP_MN_QUERY_DEVICE_TEXT),
        NAMED(IRP_MN_FILTER_RESOURCE_REQUIREMENTS),
        NAMED(IRP_MN_QUERY_ID),
        NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE),
        NAMED(IRP_MN_QUERY_BUS_INFORMATION),
        NAMED(IRP_MN_DEVICE_USAGE_NOTIFICATION),
        NAMED(IRP_MN_SURPRISE_REMOVAL),
    };
    static const std::map<UCHAR, const char*> power{
        NAMED(IRP_MN_WAIT_WAKE),
        NAMED(IRP_MN_POWER_SEQUENCE),
        NAMED(IRP_MN_SET_POWER),
        NAMED(IRP_MN_QUERY_POWER),
    };
    switch (major) {
    case IRP_MJ_PNP:
        return Lookup(pnp, minor, "IRP_MN");
    case IRP_MJ_POWER:
        return Lookup(power, minor, "IRP_MN");
    default:
        return {};
    }
}

std::string ControlCodeName(ULONG code)
{
    static const std::map<ULONG, const char*> names{
        NAMED(IOCTL_SERIAL_SET_BAUD_RATE),
        NAMED(IOCTL_SERIAL_SET_QUEUE_SIZE),
        NAMED(IOCTL_SERIAL_SET_LINE_CONTROL),
        NAMED(IOCTL_SERIAL_SET_BREAK_ON),
        NAMED(IOCTL_SERIAL_SET_BREAK_OFF),
        NAMED(IOCTL_SERIAL_IMMEDIATE_CHAR),
        NAMED(IOCTL_SERIAL_SET_TIMEOUTS),
        NAMED(IOCTL_SERIAL_GET_TIMEOUTS),
        NAMED(IOCTL_SERIAL_SET_DTR),
        NAMED(IOCTL_SERIAL_CLR_DTR),
        NAMED(IOCTL_SERIAL_RESET_DEVICE),
        NAMED(IOCTL_SERIAL_SET_RTS),
        NAMED(IOCTL_SERIAL_CLR_RTS),
        NAMED(IOCTL_SERIAL_SET_XOFF),
        NAMED(IOCTL_SERIAL_SET_XON),
        NAMED(IOCTL_SERIAL_GET_WAIT_MASK),
        NAMED(IOCTL_SERIAL_SET_WAIT_MASK),
        NAMED(IOCTL_SERIAL_WAIT_ON_MASK),
        NAMED(IOCTL_SERIAL_PURGE),
        NAMED(IOCTL_SERIAL_GET_BAUD_RATE),
        NAMED(IOCTL_SERIAL_GET_LINE_CONTROL),
        NAMED(IOCTL_SERIAL_GET_CHARS),
        NAMED(IOCTL_SERIAL_SET_CHARS),
        NAMED(IOCTL_SERIAL_GET_HANDFLOW),
        NAMED(IOCTL_SERIAL_SET_HANDFLOW),
        NAMED(IOCTL_SERIAL_GET_MODEMSTATUS),
        NAMED(IOCTL_SERIAL_GET_COMMSTATUS),
        NAMED(IOCTL_SERIAL_XOFF_COUNTER),
        NAMED(IOCTL_SERIAL_GET_PROPERTIES),
        NAMED(IOCTL_SERIAL_GET_DTRRTS),
        NAMED(IOCTL_SERIAL_LSRMST_INSERT),
        NAMED(IOCTL_SERIAL_CONFIG_SIZE),
        NAMED(IOCTL_SERIAL_GET_COMMCONFIG),
        NAMED(IOCTL_SERIAL_SET_COMMCONFIG),
        NAMED(IOCTL_SERIAL_GET_STATS),
        NAMED(IOCTL_SERIAL_CLEAR_STATS),
        NAMED(IOCTL_SERIAL_GET_MODEM_CONTROL),
        NAMED(IOCTL_SERIAL_SET_MODEM_CONTROL),
        NAMED(IOCTL_SERIAL_SET_FIFO_CONTROL),
        NAMED(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION),
        NAMED(IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION),
        NAMED(IOCTL_INTERNAL_USB_SUBMIT_URB),
        NAMED(IOCTL_INTERNAL_USB_RESET_PORT),
        NAMED(IOCTL_INTERNAL_USB_GET_PORT_STATUS),
        NAMED(IOCTL_INTERNAL_USB_CYCLE_PORT),
    };
    return Lookup(names, code, "control code");
}

std::string UrbFunctionName(USHORT function)
{
    static const std::map<USHORT, const char*> names{
        NAMED(URB_FUNCTION_SELECT_CONFIGURATION),
        NAMED(URB_FUNCTION_SELECT_INTERFACE),
        NAMED(URB_FUNCTION_ABORT_PIPE),
        NAMED(URB_FUNCTION_CONTROL_TRANSFER),
        NAMED(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
        NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
        NAMED(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
        NAMED(URB_FUNCTION_SYNC_RESET_PIPE),
        NAMED(URB_FUNCTION_SYNC_CLEAR_STALL),
    };
    return Lookup(names, function, "URB function");
}

std::string UsbdStatusName(USBD_STATUS status)
{
    static const std::map<USBD_STATUS, const char*> names{
        NAMED(USBD_STATUS_SUCCESS),           NAMED(USBD_STATUS_PENDING),
        NAMED(USBD_STATUS_STALL_PID),         NAMED(USBD_STATUS_DEV_NOT_RESPONDING),
        NAMED(USBD_STATUS_XACT_ERROR),        NAMED(USBD_STATUS_BABBLE_DETECTED),
        NAMED(USBD_STATUS_ENDPOINT_HALTED),   NAMED(USBD_STATUS_INVALID_URB_FUNCTION),
        NAMED(USBD_STATUS_INVALID_PARAMETER), NAMED(USBD_STATUS_INVALID_PIPE_HANDLE),
        NAMED(USBD_STATUS_INTERNAL_HC_ERROR), NAMED(USBD_STATUS_INSUFFICIENT_RESOURCES),
        NAMED(USBD_STATUS_BUFFER_TOO_SMALL),  NAMED(USBD_STATUS_INTERFACE_NOT_FOUND),
        NAMED(USBD_STATUS_DEVICE_GONE),       NAMED(USBD_STATUS_CANCELED),
    };
    return Lookup(names, status, "USBD status");
}

/*++

Module Name:

    device_control.cpp

Abstract:

    The serial control requests applications configure the port with. They
    are answered from the settings stored in the device extension alone:
    a set request is tested for size and stored, a get request returns what
    was stored, a few are accepted and do nothing. Nothing of any of them
    reaches the USB device. One wait-on-mask request can be held.

Environment:

    Kernel mode, in the caller's thread. Never blocks: control requests are
    answered also while the device is out of D0 or a transfer runs.

--*/

#include "frame/frame.h"
#include "serial/serial.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HandleSerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

enum class ControlKind {
    Set,         // input exactly the record's size, copied into the field
    Get,         // output at least the record's size, the field copied out
    Accept,      // input exactly Size when Size is not 0; nothing stored
    SetLine,     // no input; sets a DTR/RTS bit
    ClearLine,   // no input; clears a DTR/RTS bit
    WaitOnMask,  // input exactly 4; the request is held
    Purge,       // input exactly 4; completes the held wait
};

// Fields read as a 32-bit zero: modem status and configuration size.
constexpr ULONG ZeroField = ~0u;

struct SerialControl {
    ULONG IoControlCode;
    ControlKind Kind;
    ULONG Size;
    ULONG Field;  // offset in DEVICE_EXTENSION, or ZeroField; the line bit for SetLine/ClearLine
};

const SerialControl SerialControls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, ControlKind::Set, sizeof(SERIAL_BAUD_RATE), FIELD_OFFSET(DEVICE_EXTENSION, BaudRate)},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, ControlKind::Accept, sizeof(SERIAL_QUEUE_SIZE), 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, ControlKind::Set, sizeof(SERIAL_LINE_CONTROL),
     FIELD_OFFSET(DEVICE_EXTENSION, LineControl)},
    {IOCTL_SERIAL_SET_BREAK_ON, ControlKind::Accept, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, ControlKind::Accept, 0, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, ControlKind::Accept, sizeof(UCHAR), 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, ControlKind::Set, sizeof(SERIAL_TIMEOUTS), FIELD_OFFSET(DEVICE_EXTENSION, Timeouts)},
    {IOCTL_SERIAL_GET_TIMEOUTS, ControlKind::Get, sizeof(SERIAL_TIMEOUTS), FIELD_OFFSET(DEVICE_EXTENSION, Timeouts)},
    {IOCTL_SERIAL_SET_DTR, ControlKind::SetLine, 0, SERIAL_DTR_STATE},
    {IOCTL_SERIAL_CLR_DTR, ControlKind::ClearLine, 0, SERIAL_DTR_STATE},
    {IOCTL_SERIAL_RESET_DEVICE, ControlKind::Accept, 0, 0},
    {IOCTL_SERIAL_SET_RTS, ControlKind::SetLine, 0, SERIAL_RTS_STATE},
    {IOCTL_SERIAL_CLR_RTS, ControlKind::ClearLine, 0, SERIAL_RTS_STATE},
    {IOCTL_SERIAL_SET_XOFF, ControlKind::Accept, 0, 0},
    {IOCTL_SERIAL_SET_XON, ControlKind::Accept, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, ControlKind::Get, sizeof(ULONG), FIELD_OFFSET(DEVICE_EXTENSION, WaitMask)},
    {IOCTL_SERIAL_SET_WAIT_MASK, ControlKind::Set, sizeof(ULONG), FIELD_OFFSET(DEVICE_EXTENSION, WaitMask)},
    {IOCTL_SERIAL_WAIT_ON_MASK, ControlKind::WaitOnMask, sizeof(ULONG), 0},
    {IOCTL_SERIAL_PURGE, ControlKind::Purge, sizeof(ULONG), 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, ControlKind::Get, sizeof(SERIAL_BAUD_RATE), FIELD_OFFSET(DEVICE_EXTENSION, BaudRate)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, ControlKind::Get, sizeof(SERIAL_LINE_CONTROL),
     FIELD_OFFSET(DEVICE_EXTENSION, LineControl)},
    {IOCTL_SERIAL_GET_CHARS, ControlKind::Get, sizeof(SERIAL_CHARS), FIELD_OFFSET(DEVICE_EXTENSION, Chars)},
    {IOCTL_SERIAL_SET_CHARS, ControlKind::Set, sizeof(SERIAL_CHARS), FIELD_OFFSET(DEVICE_EXTENSION, Chars)},
    {IOCTL_SERIAL_GET_HANDFLOW, ControlKind::Get, sizeof(SERIAL_HANDFLOW), FIELD_OFFSET(DEVICE_EXTENSION, HandFlow)},
    {IOCTL_SERIAL_SET_HANDFLOW, ControlKind::Set, sizeof(SERIAL_HANDFLOW), FIELD_OFFSET(DEVICE_EXTENSION, HandFlow)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, ControlKind::Get, sizeof(ULONG), ZeroField},
    {IOCTL_SERIAL_GET_COMMSTATUS, ControlKind::Get, sizeof(SERIAL_STATUS), FIELD_OFFSET(DEVICE_EXTENSION, CommStatus)},
    {IOCTL_SERIAL_XOFF_COUNTER, ControlKind::Accept, sizeof(SERIAL_XOFF_COUNTER), 0},
    {IOCTL_SERIAL_GET_PROPERTIES, ControlKind::Get, sizeof(SERIAL_COMMPROP),
     FIELD_OFFSET(DEVICE_EXTENSION, CommProperties)},
    {IOCTL_SERIAL_GET_DTRRTS, ControlKind::Get, sizeof(ULONG), FIELD_OFFSET(DEVICE_EXTENSION, DtrRtsState)},
    {IOCTL_SERIAL_CONFIG_SIZE, ControlKind::Get, sizeof(ULONG), ZeroField},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, ControlKind::Accept, sizeof(ULONG), 0},
};

const SerialControl* FindSerialControl(ULONG IoControlCode)
{
    for (const SerialControl& control : SerialControls) {
        if (control.IoControlCode == IoControlCode) {
            return &control;
        }
    }
    return nullptr;
}

PVOID FieldOf(PDEVICE_EXTENSION Extension, ULONG Offset)
{
    return reinterpret_cast<PUCHAR>(Extension) + Offset;
}

void ChangeLine(PDEVICE_EXTENSION Extension, ULONG Bit, BOOLEAN Raise)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->SettingsLock, &oldIrql);
    if (Raise) {
        Extension->DtrRtsState |= Bit;
    } else {
        Extension->DtrRtsState &= ~Bit;
    }
    KeReleaseSpinLock(&Extension->SettingsLock, oldIrql);
}

_Use_decl_annotations_
NTSTATUS HandleSerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;

    const SerialControl* control = FindSerialControl(stack->Parameters.DeviceIoControl.IoControlCode);
    if (control == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    switch (control->Kind) {
    case ControlKind::Set:
        if (inputLength != control->Size || buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        StoreSetting(extension, FieldOf(extension, control->Field), buffer, control->Size);
        return STATUS_SUCCESS;

    case ControlKind::Get:
        if (outputLength < control->Size) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (control->Field == ZeroField) {
            RtlZeroMemory(buffer, control->Size);
        } else {
            LoadSetting(extension, buffer, FieldOf(extension, control->Field), control->Size);
        }
        Irp->IoStatus.Information = control->Size;
        return STATUS_SUCCESS;

    case ControlKind::Accept:
        if (control->Size != 0 && (inputLength != control->Size || buffer == nullptr)) {
            return STATUS_INVALID_PARAMETER;
        }
        return STATUS_SUCCESS;

    case ControlKind::SetLine:
    case ControlKind::ClearLine:
        if (inputLength != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        ChangeLine(extension, control->Field, control->Kind == ControlKind::SetLine);
        return STATUS_SUCCESS;

    case ControlKind::WaitOnMask:
        // The input length counts, as for set wait mask: a request with only
        // a 4-byte output buffer is refused.
        if (inputLength != control->Size || buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        return HoldPendingWait(DeviceObject, Irp);

    case ControlKind::Purge:
        if (inputLength != control->Size || buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        // Whatever the mask: nothing is buffered, and transfers in progress
        // are not aborted.
        CompletePendingWait(DeviceObject, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AcquireIoReference(DeviceObject);
    Irp->IoStatus.Information = 0;

    NTSTATUS status = IsDeviceReady(DeviceObject) ? HandleSerialIoctl(DeviceObject, Irp) : STATUS_INVALID_DEVICE_STATE;

    // A held request may be completed by a purge, close or cancel on another
    // thread at any moment after it was taken in: it is not ours to touch.
    if (status != STATUS_PENDING) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }

    // A held request keeps no reference: it must not delay removal.
    ReleaseIoReference(DeviceObject);
    return status;
}

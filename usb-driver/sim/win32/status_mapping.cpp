#include "status_mapping.h"

#include "win32_api.h"

namespace sim {

ULONG Win32ErrorFromStatus(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_PENDING:
        return ERROR_IO_PENDING;
    case STATUS_TIMEOUT:
        return WAIT_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_DEVICE_BUSY:
        return ERROR_BUSY;
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_DEVICE_REQUEST:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_NO_SUCH_FILE:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_NAME_INVALID:
        return ERROR_INVALID_NAME;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_ACCESS_DENIED:
        return ERROR_ACCESS_DENIED;
    case STATUS_DELETE_PENDING:
        return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    case STATUS_IO_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_DEVICE_DOES_NOT_EXIST:
        return ERROR_DEV_NOT_EXIST;
    case STATUS_NAME_TOO_LONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_DEVICE_STATE:
        return ERROR_BAD_COMMAND;
    case STATUS_IO_DEVICE_ERROR:
        return ERROR_IO_DEVICE;
    case STATUS_DEVICE_REMOVED:
        return ERROR_DEVICE_REMOVED;
    default:
        return ERROR_MR_MID_NOT_FOUND;
    }
}

std::string Win32ErrorName(ULONG error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return "ERROR_SUCCESS";
    case ERROR_INVALID_FUNCTION:
        return "ERROR_INVALID_FUNCTION";
    case ERROR_FILE_NOT_FOUND:
        return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND:
        return "ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED:
        return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE:
        return "ERROR_INVALID_HANDLE";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "ERROR_NOT_ENOUGH_MEMORY";
    case ERROR_NOT_READY:
        return "ERROR_NOT_READY";
    case ERROR_BAD_COMMAND:
        return "ERROR_BAD_COMMAND";
    case ERROR_GEN_FAILURE:
        return "ERROR_GEN_FAILURE";
    case ERROR_SHARING_VIOLATION:
        return "ERROR_SHARING_VIOLATION";
    case ERROR_NOT_SUPPORTED:
        return "ERROR_NOT_SUPPORTED";
    case ERROR_DEV_NOT_EXIST:
        return "ERROR_DEV_NOT_EXIST";
    case ERROR_INVALID_PARAMETER:
        return "ERROR_INVALID_PARAMETER";
    case ERROR_SEM_TIMEOUT:
        return "ERROR_SEM_TIMEOUT";
    case ERROR_INSUFFICIENT_BUFFER:
        return "ERROR_INSUFFICIENT_BUFFER";
    case ERROR_INVALID_NAME:
        return "ERROR_INVALID_NAME";
    case ERROR_BUSY:
        return "ERROR_BUSY";
    case ERROR_FILENAME_EXCED_RANGE:
        return "ERROR_FILENAME_EXCED_RANGE";
    case ERROR_MORE_DATA:
        return "ERROR_MORE_DATA";
    case WAIT_TIMEOUT:
        return "WAIT_TIMEOUT";
    case ERROR_MR_MID_NOT_FOUND:
        return "ERROR_MR_MID_NOT_FOUND";
    case ERROR_OPERATION_ABORTED:
        return "ERROR_OPERATION_ABORTED";
    case ERROR_IO_INCOMPLETE:
        return "ERROR_IO_INCOMPLETE";
    case ERROR_IO_PENDING:
        return "ERROR_IO_PENDING";
    case ERROR_NOACCESS:
        return "ERROR_NOACCESS";
    case ERROR_IO_DEVICE:
        return "ERROR_IO_DEVICE";
    case ERROR_DEVICE_NOT_CONNECTED:
        return "ERROR_DEVICE_NOT_CONNECTED";
    case ERROR_NO_SYSTEM_RESOURCES:
        return "ERROR_NO_SYSTEM_RESOURCES";
    case ERROR_DEVICE_REMOVED:
        return "ERROR_DEVICE_REMOVED";
    default:
        return "error " + std::to_string(error);
    }
}

}  // namespace sim

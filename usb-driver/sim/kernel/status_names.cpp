#include "status_names.h"

#include <cstdio>

namespace sim {

std::string StatusName(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_ABANDONED:
        return "STATUS_ABANDONED";
    case STATUS_USER_APC:
        return "STATUS_USER_APC";
    case STATUS_ALERTED:
        return "STATUS_ALERTED";
    case STATUS_TIMEOUT:
        return "STATUS_TIMEOUT";
    case STATUS_PENDING:
        return "STATUS_PENDING";
    case STATUS_REPARSE:
        return "STATUS_REPARSE";
    case STATUS_OBJECT_NAME_EXISTS:
        return "STATUS_OBJECT_NAME_EXISTS";
    case STATUS_BUFFER_OVERFLOW:
        return "STATUS_BUFFER_OVERFLOW";
    case STATUS_DEVICE_BUSY:
        return "STATUS_DEVICE_BUSY";
    case STATUS_NO_MORE_ENTRIES:
        return "STATUS_NO_MORE_ENTRIES";
    case STATUS_PLUGPLAY_QUERY_VETOED:
        return "STATUS_PLUGPLAY_QUERY_VETOED";
    case STATUS_UNSUCCESSFUL:
        return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED:
        return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INFO_LENGTH_MISMATCH:
        return "STATUS_INFO_LENGTH_MISMATCH";
    case STATUS_INVALID_HANDLE:
        return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_PARAMETER:
        return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE:
        return "STATUS_NO_SUCH_DEVICE";
    case STATUS_NO_SUCH_FILE:
        return "STATUS_NO_SUCH_FILE";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_END_OF_FILE:
        return "STATUS_END_OF_FILE";
    case STATUS_MORE_PROCESSING_REQUIRED:
        return "STATUS_MORE_PROCESSING_REQUIRED";
    case STATUS_NO_MEMORY:
        return "STATUS_NO_MEMORY";
    case STATUS_ACCESS_DENIED:
        return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL:
        return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_TYPE_MISMATCH:
        return "STATUS_OBJECT_TYPE_MISMATCH";
    case STATUS_OBJECT_NAME_INVALID:
        return "STATUS_OBJECT_NAME_INVALID";
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_COLLISION:
        return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return "STATUS_OBJECT_PATH_NOT_FOUND";
    case STATUS_SHARING_VIOLATION:
        return "STATUS_SHARING_VIOLATION";
    case STATUS_DELETE_PENDING:
        return "STATUS_DELETE_PENDING";
    case STATUS_INTEGER_OVERFLOW:
        return "STATUS_INTEGER_OVERFLOW";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_DATA_ERROR:
        return "STATUS_DEVICE_DATA_ERROR";
    case STATUS_DEVICE_NOT_CONNECTED:
        return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_DEVICE_POWER_FAILURE:
        return "STATUS_DEVICE_POWER_FAILURE";
    case STATUS_DEVICE_NOT_READY:
        return "STATUS_DEVICE_NOT_READY";
    case STATUS_ILLEGAL_FUNCTION:
        return "STATUS_ILLEGAL_FUNCTION";
    case STATUS_IO_TIMEOUT:
        return "STATUS_IO_TIMEOUT";
    case STATUS_NOT_SUPPORTED:
        return "STATUS_NOT_SUPPORTED";
    case STATUS_DEVICE_DOES_NOT_EXIST:
        return "STATUS_DEVICE_DOES_NOT_EXIST";
    case STATUS_BAD_DEVICE_TYPE:
        return "STATUS_BAD_DEVICE_TYPE";
    case STATUS_INVALID_PARAMETER_1:
        return "STATUS_INVALID_PARAMETER_1";
    case STATUS_INVALID_PARAMETER_2:
        return "STATUS_INVALID_PARAMETER_2";
    case STATUS_NAME_TOO_LONG:
        return "STATUS_NAME_TOO_LONG";
    case STATUS_CANCELLED:
        return "STATUS_CANCELLED";
    case STATUS_FILE_CLOSED:
        return "STATUS_FILE_CLOSED";
    case STATUS_INVALID_BLOCK_LENGTH:
        return "STATUS_INVALID_BLOCK_LENGTH";
    case STATUS_INVALID_DEVICE_STATE:
        return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_IO_DEVICE_ERROR:
        return "STATUS_IO_DEVICE_ERROR";
    case STATUS_INVALID_BUFFER_SIZE:
        return "STATUS_INVALID_BUFFER_SIZE";
    case STATUS_NOT_FOUND:
        return "STATUS_NOT_FOUND";
    case STATUS_DEVICE_REMOVED:
        return "STATUS_DEVICE_REMOVED";
    case STATUS_POWER_STATE_INVALID:
        return "STATUS_POWER_STATE_INVALID";
    default:
        break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace sim

/*++

Module Name:

    nt_types.h

Abstract:

    Host declarations of the Windows base types, status codes and the
    annotation macros the driver uses. Widths follow Windows x64 (LLP64):
    LONG and ULONG are 32 bits, pointers 64, WCHAR 16.

Environment:

    Host build only; the target build takes all of this from the DDK.

--*/

#pragma once

#include <cstddef>
#include <cstdint>

#define NTAPI
#define NTKERNELAPI
#define FORCEINLINE inline __attribute__((always_inline))
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// SAL annotations: meaningful to the DDK's analysis tools, empty here.
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Function_class_(name)
#define _Use_decl_annotations_
#define _Dispatch_type_(type)
#define _In_
#define _In_opt_
#define _Out_
#define _Inout_
#define _Out_writes_bytes_(size)
#define _In_reads_bytes_(size)

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR CCHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG ACCESS_MASK;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0
#define MAXULONG 0xFFFFFFFFUL

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))

// Device I/O control codes. Shared here because both the serial and the USB
// records build their codes with it and neither may depend on the other.
#define CTL_CODE(DeviceType, Function, Method, Access)                                                                 \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0x00000000
#define FILE_DEVICE_UNKNOWN 0x00000022

// The driver spells its wide literals through this macro: on Windows a wide
// literal is 16-bit, on Linux only u"" is.
#define WIDE(s) u##s

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 widths");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(UNICODE_STRING) == 16, "x64 UNICODE_STRING");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "x64 IO_STATUS_BLOCK");

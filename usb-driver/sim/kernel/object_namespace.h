// The object namespace: named device objects and symbolic links that chain,
// with \DosDevices standing for \??, as Windows has it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

std::u16string ToU16(std::string_view ascii);
std::string ToUtf8(std::u16string_view text);
std::u16string FromUnicodeString(PCUNICODE_STRING string);

class Namespace {
public:
    static NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    static void RemoveDevice(std::u16string_view name);

    static NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
    static NTSTATUS DeleteLink(std::u16string_view link);
    static std::optional<std::u16string> LinkTarget(std::u16string_view link);
    // Links created since the reset, under their canonical names.
    static std::vector<std::u16string> Links();

    // Follows links to a named device; the rest of the path, if any, is the
    // file name within the device.
    static PDEVICE_OBJECT Resolve(std::u16string_view path, std::u16string* remainder, NTSTATUS* status);

    static void Reset();
};

}  // namespace sim

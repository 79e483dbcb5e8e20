#include "object_namespace.h"

#include <map>
#include <mutex>

#include "bugcheck.h"
#include "fault_injection.h"
#include "irql.h"

namespace sim {

namespace {

// Links that the kernel itself keeps; the rest are reported at a test's end.
const std::u16string dosDevicesLink = u"\\DOSDEVICES";
const std::u16string globalLink = u"\\GLOBAL??";
constexpr int maximumLinkDepth = 32;

std::u16string Key(std::u16string_view name)
{
    std::u16string key(name);
    for (auto& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

std::recursive_mutex namespaceLock;
std::map<std::u16string, PDEVICE_OBJECT> devices;
std::map<std::u16string, std::u16string> links;

// Rewrites the path's leading components through links. With followLast the
// whole path may be a link too; without, only its parent directories.
bool Canonical(std::u16string path, bool followLast, std::u16string* result)
{
    for (int depth = 0; depth < maximumLinkDepth; depth++) {
        bool rewritten = false;
        for (size_t end = path.size(); end > 0; end = path.rfind(u'\\', end - 1)) {
            if (end == path.size() && !followLast) {
                continue;
            }
            auto found = links.find(Key(path.substr(0, end)));
            if (found != links.end()) {
                path = found->second + path.substr(end);
                rewritten = true;
                break;
            }
            if (end == 0) {
                break;
            }
        }
        if (!rewritten) {
            *result = path;
            return true;
        }
    }
    return false;
}

}  // namespace

std::u16string ToU16(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

NTSTATUS Namespace::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device)
{
    std::lock_guard lock(namespaceLock);
    std::u16string key = Key(name);
    if (devices.count(key) != 0 || links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    devices[key] = device;
    return STATUS_SUCCESS;
}

void Namespace::RemoveDevice(std::u16string_view name)
{
    std::lock_guard lock(namespaceLock);
    devices.erase(Key(name));
}

NTSTATUS Namespace::CreateLink(std::u16string_view link, std::u16string_view target)
{
    std::lock_guard lock(namespaceLock);
    std::u16string canonical;
    if (link.empty() || link[0] != u'\\' || link.back() == u'\\' ||
        !Canonical(std::u16string(link), false, &canonical)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string key = Key(canonical);
    if (devices.count(key) != 0 || links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    links[key] = std::u16string(target);
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::DeleteLink(std::u16string_view link)
{
    std::lock_guard lock(namespaceLock);
    std::u16string canonical;
    if (!Canonical(std::u16string(link), false, &canonical)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return links.erase(Key(canonical)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> Namespace::LinkTarget(std::u16string_view link)
{
    std::lock_guard lock(namespaceLock);
    std::u16string canonical;
    if (!Canonical(std::u16string(link), false, &canonical)) {
        return std::nullopt;
    }
    auto found = links.find(Key(canonical));
    if (found == links.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::u16string> Namespace::Links()
{
    std::lock_guard lock(namespaceLock);
    std::vector<std::u16string> names;
    for (const auto& [name, target] : links) {
        if (name != dosDevicesLink && name != globalLink) {
            names.push_back(name);
        }
    }
    return names;
}

PDEVICE_OBJECT Namespace::Resolve(std::u16string_view path, std::u16string* remainder, NTSTATUS* status)
{
    std::lock_guard lock(namespaceLock);
    std::u16string canonical;
    if (!Canonical(std::u16string(path), true, &canonical)) {
        *status = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    for (size_t end = canonical.size(); end > 0; end = canonical.rfind(u'\\', end - 1)) {
        auto found = devices.find(Key(canonical.substr(0, end)));
        if (found != devices.end()) {
            if (remainder != nullptr) {
                *remainder = canonical.substr(end);
            }
            *status = STATUS_SUCCESS;
            return found->second;
        }
    }
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
}

void Namespace::Reset()
{
    std::lock_guard lock(namespaceLock);
    devices.clear();
    links.clear();
    links[dosDevicesLink] = u"\\??";
    links[globalLink] = u"\\??";
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::CreateSymbolicLink, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    return Namespace::CreateLink(FromUnicodeString(SymbolicLinkName), FromUnicodeString(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    return Namespace::DeleteLink(FromUnicodeString(SymbolicLinkName));
}

}  // extern "C"

#include "port_names.h"

#include "kernel/device_interfaces.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"

namespace {

std::string Text(std::u16string_view text)
{
    return sim::ToUtf8(text);
}

// The REG_SZ data up to its terminating null.
std::u16string StringData(const std::vector<UCHAR>& data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        auto c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) {
            break;
        }
        text += c;
    }
    return text;
}

}  // namespace

void ShowPortNames(Account& account, std::u16string_view portName, std::u16string_view interfaceLink, bool named)
{
    std::u16string dosName = u"\\DosDevices\\" + std::u16string(portName);
    auto target = sim::Namespace::LinkTarget(dosName);
    account.Expect(target.has_value() == named,
                   Labelled("DOS-device link", target ? Text(dosName) + " -> " + Text(*target) : "(none)"));
    bool enabled = sim::DeviceInterfaces::IsEnabled(interfaceLink);
    account.Expect(enabled == named,
                   Labelled("interface", Text(interfaceLink) + (enabled ? " (enabled)" : " (disabled)")));
    auto value = sim::Registry::DeviceMapValue(u"SERIALCOMM", interfaceLink);
    account.Expect(value.has_value() == named,
                   Labelled("SERIALCOMM", value ? Text(interfaceLink) + " = \"" + Text(StringData(value->data)) +
                                                      "\" (REG_SZ, " + std::to_string(value->data.size()) + " bytes)"
                                                : "(none)"));
}

// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx
// as Microsoft documents them, over descriptors that may be malformed.

#include "usbd_routines.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "descriptor_walk.h"
#include "kernel/fault_injection.h"
#include "kernel/irql.h"

using namespace sim;

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    // Documented as callable below DISPATCH_LEVEL only.
    RequireIrqlAtMost(APC_LEVEL, "USBD_ParseConfigurationDescriptorEx");
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    return FindInterface(ConfigurationDescriptor, StartPosition, InterfaceNumber, AlternateSetting, InterfaceClass,
                         InterfaceSubClass, InterfaceProtocol);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "USBD_CreateConfigurationRequestEx");
    if (Faults::ShouldFail(Fault::CreateConfigurationRequest, SIM_CALL_SITE())) {
        return nullptr;
    }
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        return nullptr;
    }

    // Each listed interface gets a record sized for its endpoints; an
    // interface descriptor outside the configuration is refused rather than read.
    std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        if (!LiesWithin(ConfigurationDescriptor, entry->InterfaceDescriptor)) {
            return nullptr;
        }
        interfaces.push_back(entry->InterfaceDescriptor);
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    size = std::max(size, sizeof(struct _URB_SELECT_CONFIGURATION));

    auto* urb = static_cast<PURB>(Pool::AllocateForKernel(NonPagedPool, size, UsbStackPoolTag));
    std::memset(urb, 0, size);
    urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        PUSB_INTERFACE_DESCRIPTOR descriptor = interfaces[i];
        information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        InterfaceList[i].Interface = information;
        record += information->Length;
    }
    return urb;
}

}  // extern "C"

/*
    bcinstall.c: puts the test USB bus and bulkcom.sys into a Wine prefix.

    Usage: bcinstall <bus inf> <driver inf>

    The driver's INF goes to the INF folder first, so that Plug and Play
    finds it when the bus reports its child. Then the bus is made a root
    device, registered and given its driver, which starts it.
*/
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>

static const WCHAR BusHardwareIds[] = L"root\\bctestbus\0";

static int Fail(const char* step)
{
    printf("bcinstall: %s failed, error %lu\n", step, GetLastError());
    return 1;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 3) {
        printf("usage: bcinstall <bus inf> <driver inf>\n");
        return 2;
    }
    WCHAR driverDirectory[MAX_PATH];
    WCHAR* fileName = NULL;
    if (GetFullPathNameW(argv[2], MAX_PATH, driverDirectory, &fileName) == 0 || fileName == NULL) {
        return Fail("GetFullPathName");
    }
    *fileName = L'\0';
    if (!SetupCopyOEMInfW(argv[2], driverDirectory, SPOST_PATH, 0, NULL, 0, NULL, NULL)) {
        return Fail("SetupCopyOEMInf");
    }

    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device;
    ZeroMemory(&device, sizeof(device));
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(set, L"root\\bctestbus\\0000", &GUID_DEVCLASS_SYSTEM, NULL, NULL, 0, &device)) {
        return Fail("SetupDiCreateDeviceInfo");
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)BusHardwareIds,
                                           sizeof(BusHardwareIds))) {
        return Fail("SetupDiSetDeviceRegistryProperty");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        return Fail("DIF_REGISTERDEVICE");
    }
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, BusHardwareIds, argv[1], INSTALLFLAG_FORCE, &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices");
    }
    printf("bcinstall: bus installed\n");
    return 0;
}

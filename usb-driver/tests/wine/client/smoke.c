/*
    smoke.c: the first contact with bulkcom.sys on Wine. Waits for the port
    to appear, writes 16 bytes, reads them back through the test bus's
    loopback and compares.

    Usage: smoke [COMn]
*/
#include <windows.h>
#include <stdio.h>
#include <string.h>

/* Plug and Play installs and starts the driver after the bus reports its
   child, asynchronously to the installer. */
#define OPEN_WAIT_MS 30000
#define OPEN_POLL_MS 100

int main(int argc, char** argv)
{
    const char* port = argc > 1 ? argv[1] : "COM7";
    char path[64];
    snprintf(path, sizeof(path), "\\\\.\\%s", port);

    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD waited = 0;
    for (;;) {
        handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (handle != INVALID_HANDLE_VALUE || waited >= OPEN_WAIT_MS) {
            break;
        }
        Sleep(OPEN_POLL_MS);
        waited += OPEN_POLL_MS;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        printf("smoke: %s did not open within %d ms, error %lu\n", path, OPEN_WAIT_MS, GetLastError());
        return 1;
    }
    printf("smoke: %s open after %lu ms\n", path, waited);

    COMMTIMEOUTS timeouts = {0};
    timeouts.ReadTotalTimeoutConstant = 5000;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(handle, &timeouts)) {
        printf("smoke: SetCommTimeouts failed, error %lu\n", GetLastError());
        CloseHandle(handle);
        return 1;
    }

    unsigned char sent[16];
    for (unsigned i = 0; i < sizeof(sent); i++) {
        sent[i] = (unsigned char)(0xA0 + i * 7);
    }
    DWORD written = 0;
    if (!WriteFile(handle, sent, sizeof(sent), &written, NULL) || written != sizeof(sent)) {
        printf("smoke: write moved %lu of %u bytes, error %lu\n", written, (unsigned)sizeof(sent), GetLastError());
        CloseHandle(handle);
        return 1;
    }

    unsigned char received[16];
    DWORD total = 0;
    while (total < sizeof(received)) {
        DWORD read = 0;
        if (!ReadFile(handle, received + total, sizeof(received) - total, &read, NULL)) {
            printf("smoke: read failed after %lu bytes, error %lu\n", total, GetLastError());
            CloseHandle(handle);
            return 1;
        }
        if (read == 0) {
            printf("smoke: read timed out after %lu bytes\n", total);
            CloseHandle(handle);
            return 1;
        }
        total += read;
    }
    CloseHandle(handle);
    if (memcmp(sent, received, sizeof(sent)) != 0) {
        printf("smoke: the bytes read back differ from those written\n");
        return 1;
    }
    printf("smoke: %u bytes written and read back through %s\n", (unsigned)sizeof(sent), port);
    return 0;
}

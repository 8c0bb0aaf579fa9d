#include "link/receiver_port.h"

#include <cstring>

namespace {

const char device_path_prefix[] = "\\\\.\\";

void set_line(HANDLE port, port_mode mode) {
    DCB line = {};
    // A record we could not read would be written back as zeros and leave the
    // port in a worse state than it is in now.
    if (!GetCommState(port, &line))
        return;
    line.BaudRate = 115200;
    line.ByteSize = 8;
    line.StopBits = ONESTOPBIT;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    if (mode == port_mode::probe) {
        line.fParity = FALSE;
        line.DCBlength = sizeof(DCB);
    }
    // A port that refuses the settings keeps those it has; the probe then
    // simply finds no receiver on it.
    SetCommState(port, &line);
}

void set_timeouts(HANDLE port) {
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(port, &timeouts);
    // All five fields are set, so the record written back is defined even
    // when reading it failed.
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(port, &timeouts);
}

} // namespace

HANDLE open_receiver_port(const char *port_name, port_mode mode) {
    char path[128] = {};
    if (strnlen(port_name, sizeof path) >= sizeof path - (sizeof device_path_prefix - 1))
        return INVALID_HANDLE_VALUE;
    lstrcatA(path, device_path_prefix);
    lstrcatA(path, port_name);

    const DWORD flags = mode == port_mode::probe ? FILE_FLAG_OVERLAPPED : 0;
    HANDLE port =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return port;

    set_line(port, mode);
    set_timeouts(port);
    return port;
}

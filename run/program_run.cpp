#include "run/program_run.h"

#include <cstdio>
#include <cstring>

#include "link/receiver_port.h"
#include "link/receiver_probe.h"
#include "platform/win32.h"
#include "run/standard_output.h"

namespace {

// Filled by each value enumerated. They live as long as the process: once the
// receiver is found its port's name stays in port_name for the listening
// phase, which never ends.
char device_name[16];
char port_name[8];

// The registry hands REG_SZ data over as stored, which need not end in a zero.
// A port name that fills the buffer without one cannot be used; a shorter one
// is terminated where its data ends.
bool terminate_port_name(DWORD data_length) {
    if (data_length > sizeof port_name)
        return false;
    if (memchr(port_name, '\0', data_length) != nullptr)
        return true;
    if (data_length == sizeof port_name)
        return false;
    port_name[data_length] = '\0';
    return true;
}

// Walks the system's list of serial ports in the key's order and returns the
// first one on which the receiver answers, or nullptr.
const char *detect_receiver(HKEY ports) {
    for (DWORD index = 0;; ++index) {
        // Each call overwrites both capacities with the lengths it delivered.
        DWORD name_length = sizeof device_name;
        DWORD data_length = sizeof port_name;
        const LSTATUS result =
            RegEnumValueA(ports, index, device_name, &name_length, nullptr, nullptr,
                          reinterpret_cast<LPBYTE>(port_name), &data_length);
        if (result == ERROR_NO_MORE_ITEMS)
            return nullptr;
        // A name or a port name too long for its buffer (ERROR_MORE_DATA) is
        // skipped without a word.
        if (result != ERROR_SUCCESS || !terminate_port_name(data_length))
            continue;
        // The name is terminated on success; keep it so whatever was delivered.
        device_name[name_length < sizeof device_name ? name_length : sizeof device_name - 1] = '\0';

        char line[64];
        if (probe_receiver(port_name, device_name)) {
            snprintf(line, sizeof line, "%s -- OK, device detected =|:-)=\n", port_name);
            fputs(line, stdout);
            return port_name;
        }
        snprintf(line, sizeof line, "%s -- failed to detect device :(\n", port_name);
        fputs(line, stdout);
    }
}

[[noreturn]] void show_codes(HANDLE port) {
    for (;;) {
        BYTE value = 0;
        DWORD received = 0;
        if (!ReadFile(port, &value, 1, &received, nullptr)) {
            // An unplugged receiver fails every read at once; the pause keeps
            // the loop from spinning a core until it is back.
            Sleep(1);
            continue;
        }
        // An idle line returns empty after the port's 1 ms time-out.
        if (received != 1)
            continue;
        // A byte above 250 ends a code: its value closes the line.
        char text[8];
        snprintf(text, sizeof text, value > 250 ? "%d \n" : "%d ", value);
        fputs(text, stdout);
    }
}

} // namespace

int run_program(void) {
    prepare_standard_output();

    HKEY ports = nullptr;
    // Read access is all the run needs, and all that a user who is not
    // running elevated is granted on this key.
    const bool listed = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                      KEY_READ, &ports) == ERROR_SUCCESS;
    if (!listed)
        MessageBoxA(nullptr, "error opening registry", "Pomvex", MB_OK);
    fputs("Please shut down Pomvex.Tolla and Pomvex.Quenn.\n"
          "Detecting Pomvex.Ravo on different COM ports:\n",
          stdout);

    const char *found = nullptr;
    if (listed) {
        found = detect_receiver(ports);
        RegCloseKey(ports);
    }
    if (found == nullptr) {
        Sleep(10000);
        return 1;
    }

    char line[96];
    snprintf(line, sizeof line, "Listening codes on port %s, press any key on remote control:\n",
             found);
    fputs(line, stdout);
    HANDLE port = open_receiver_port(found, port_mode::listening);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    show_codes(port);
}

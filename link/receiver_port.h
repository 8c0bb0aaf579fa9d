// Opening a serial port and putting it into the state in which the receiver
// is spoken to: 115200 baud, 8 data bits, one stop bit, DTR and RTS held off,
// reads that return after about 1 ms, writes given 10 ms.
#pragma once

#include "platform/win32.h"

// The probe talks to the port with overlapped requests it can bound with
// waits; the listening phase uses plain blocking reads.
enum class port_mode { probe, listening };

// Opens the port exclusively, so a port that another program holds cannot be
// opened. Returns INVALID_HANDLE_VALUE when the port cannot be opened; the
// caller closes the port it gets with CloseHandle.
HANDLE open_receiver_port(const char *port_name, port_mode mode);

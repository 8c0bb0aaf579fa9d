// Decides for one serial port whether the receiver is attached to it: sends
// the query 0x00 0x81 and looks for the acknowledgement 0x81 in what comes
// back within fixed time windows.
#pragma once

// Returns 1 when the receiver answered on the port, 0 when it did not or the
// probe failed. Ports whose device name lacks "vcp" (in any case) are not
// touched. The port is closed again before this returns.
int probe_receiver(const char *port_name, const char *device_name);

// The whole life of the process: find the receiver among the system's serial
// ports, then show every byte it sends.
#pragma once

// Returns 1 when no port answered or the port found could not be opened again;
// once listening it never returns.
int run_program(void);

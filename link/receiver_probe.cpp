#include "link/receiver_probe.h"

#include <cstdio>
#include <cstring>

#include "link/receiver_port.h"

namespace {

const BYTE acknowledgement = 0x81;
const DWORD request_wait_ms = 200;

// An overlapped call that returns nonzero has already completed; one that
// returns zero is under way only when the platform says so.
bool request_issued(BOOL completed_at_once) {
    return completed_at_once || GetLastError() == ERROR_IO_PENDING;
}

// The platform writes into the request record and the buffer until the
// request ends, so one that outlived its wait is cancelled and waited for
// before either is reused or goes away.
void settle_request(HANDLE port, OVERLAPPED *request) {
    DWORD transferred = 0;
    if (GetOverlappedResult(port, request, &transferred, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE)
        return;
    CancelIo(port);
    GetOverlappedResult(port, request, &transferred, TRUE);
}

// Reads back what the receiver sent since the query and looks for its
// acknowledgement anywhere among the first 128 bytes.
int read_acknowledgement(HANDLE port, OVERLAPPED *request) {
    BYTE reply[128];
    DWORD transferred = 0;
    memset(reply, 0, sizeof reply);
    if (!request_issued(ReadFile(port, reply, sizeof reply, &transferred, request)))
        return 0;
    if (WaitForSingleObject(request->hEvent, request_wait_ms) != WAIT_OBJECT_0) {
        settle_request(port, request);
        return 0;
    }
    // Bytes the read did not fill are still zero and never match.
    return memchr(reply, acknowledgement, sizeof reply) != nullptr ? 1 : 0;
}

} // namespace

int probe_receiver(const char *port_name, const char *device_name) {
    if (StrStrIA(device_name, "vcp") == nullptr)
        return 0;

    HANDLE port = open_receiver_port(port_name, port_mode::probe);
    if (port == INVALID_HANDLE_VALUE)
        fputs("errorr!!!!!!!!!!!!!!!! in opening port!\n", stdout);
    // Gives the receiver time to settle after its port was opened.
    Sleep(200);

    OVERLAPPED request;
    memset(&request, 0, sizeof request);
    request.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    int detected = 0;
    const BYTE query[2] = {0x00, acknowledgement};
    DWORD transferred = 0;
    if (port == INVALID_HANDLE_VALUE ||
        !request_issued(WriteFile(port, query, sizeof query, &transferred, &request))) {
        fputs("err 22: \n", stdout);
    } else {
        // The write's own 10 ms time-out ends it well within this wait.
        if (WaitForSingleObject(request.hEvent, request_wait_ms) != WAIT_OBJECT_0)
            settle_request(port, &request);
        // Leaves the receiver time to answer before its reply is read.
        Sleep(70);
        detected = read_acknowledgement(port, &request);
    }

    if (request.hEvent != nullptr)
        CloseHandle(request.hEvent);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    return detected;
}

// Serial ports and the scripted devices on them: opening, line settings,
// time-outs, blocking and overlapped transfers.
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "standin/state.h"

using namespace standin;
using namespace standin::detail;

namespace {

const char device_prefix[] = "\\\\.\\";

// A port handle with everything the stand-in knows of its port.
struct port_view {
    handle_entry *handle = nullptr;
    const port_script *script = nullptr;
    port_record *seen = nullptr;
    line_state *line = nullptr;
};

port_view view_of(HANDLE h) {
    port_view p;
    p.handle = entry(h, kind::port);
    if (p.handle) {
        auto &w = world();
        p.script = &w.s.ports[p.handle->port];
        p.seen = &w.r.ports[p.handle->port];
        p.line = &w.lines[p.handle->port];
    }
    return p;
}

void schedule(line_state &line, const std::vector<BYTE> &bytes, std::uint64_t from_us) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        line.input.push_back({from_us + i * byte_time_us, bytes[i]});
    std::stable_sort(line.input.begin(), line.input.end(),
                     [](const arrival &a, const arrival &b) { return a.at_us < b.at_us; });
}

// When a read of n bytes issued now completes under the port's time-outs.
std::uint64_t plan_read(const line_state &line, const COMMTIMEOUTS &t, std::uint64_t issued,
                        DWORD n) {
    std::size_t i = 0;
    DWORD have = 0;
    while (i < line.input.size() && line.input[i].at_us <= issued && have < n) {
        ++i;
        ++have;
    }
    if (have == n)
        return issued;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0)
        return issued;
    const std::uint64_t total_ms =
        std::uint64_t(t.ReadTotalTimeoutMultiplier) * n + t.ReadTotalTimeoutConstant;
    const std::uint64_t deadline = total_ms ? issued + total_ms * us_per_ms : never;
    const std::uint64_t interval = t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXDWORD
                                       ? std::uint64_t(t.ReadIntervalTimeout) * us_per_ms
                                       : never;
    std::uint64_t last = issued;
    auto cutoff = [&] {
        return have > 0 && interval != never ? std::min(deadline, last + interval) : deadline;
    };
    for (; i < line.input.size(); ++i) {
        const std::uint64_t at = line.input[i].at_us;
        if (at > cutoff())
            return cutoff();
        last = at;
        if (++have == n)
            return at;
    }
    return cutoff();
}

bool in_flight(const OVERLAPPED *record) {
    for (const auto &q : world().requests)
        if (!q.finished && q.record == record)
            return true;
    return false;
}

// Issuing a request resets its event, as the platform does.
void begin_request(const port_view &p, OVERLAPPED *record) {
    if (in_flight(record))
        violation("request record reused while a request on it is in flight");
    p.handle->signalled = false;
    const int event = index_of(record->hEvent);
    if (event >= 0 && world().handles[event].what == kind::event)
        world().handles[event].signalled = false;
}

// Issues an overlapped request; it completes at once when due now.
BOOL issue(request q, LPDWORD transferred) {
    auto &w = world();
    w.requests.push_back(std::move(q));
    const request &issued = w.requests.back();
    if (issued.done_at_us <= w.r.now_us) {
        advance_to(w.r.now_us);
        if (transferred)
            *transferred = issued.transferred;
        return TRUE;
    }
    set_last_error(ERROR_IO_PENDING);
    return FALSE;
}

// How many bytes of the program's output have reached the file behind its
// standard output, or -1 when the script did not say which file that is.
long long visible_output(void) {
    struct stat st = {};
    const int fd = world().s.stdout_fd;
    return fd >= 0 && fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void sample_output(const port_record &seen) {
    const long long visible = visible_output();
    if (visible >= 0)
        world().r.output_samples.push_back({seen.delivered_while_listening.size(), visible});
}

// Ends a listening run that has nothing more to show, or that the console
// stopped, by unwinding out of the read.
void check_listening_end(const port_view &p) {
    auto &w = world();
    const std::uint64_t now = w.r.now_us;
    if (w.s.console_stop_at_ms &&
        now >= p.line->listening_opened_at_us + *w.s.console_stop_at_ms * us_per_ms) {
        if (w.console_handler) {
            w.r.console_handler_result = w.console_handler(CTRL_C_EVENT);
            w.r.visible_after_console_stop = visible_output();
        }
        throw listening_ended{"stopped from the console"};
    }
    if (now >= p.line->listening_ends_at_us)
        throw listening_ended{"device script played out"};
}

BOOL blocking_read(const port_view &p, BYTE *buffer, DWORD n, LPDWORD read) {
    auto &w = world();
    const bool listening = p.line->listening_opened_at_us != never;
    if (listening) {
        check_listening_end(p);
        sample_output(*p.seen);
        ++p.seen->listening_reads;
        const auto &fail_from = p.script->device.reads_fail_from_ms;
        if (fail_from && w.r.now_us >= p.line->listening_opened_at_us + *fail_from * us_per_ms) {
            set_last_error(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    if (p.script->device.read_error) {
        set_last_error(p.script->device.read_error);
        return FALSE;
    }
    const std::uint64_t done = plan_read(*p.line, p.seen->timeouts, w.r.now_us, n);
    if (done == never)
        throw listening_ended{"the read would block for ever"};
    advance_to(done);
    const DWORD count = take_input(*p.line, buffer, n, done);
    if (listening)
        p.seen->delivered_while_listening.insert(p.seen->delivered_while_listening.end(), buffer,
                                                 buffer + count);
    if (read)
        *read = count;
    return TRUE;
}

} // namespace

namespace standin::detail {

void device_hears(int port, const std::vector<BYTE> &bytes, std::uint64_t at_us) {
    auto &w = world();
    const device_script &d = w.s.ports[port].device;
    line_state &line = w.lines[port];
    w.r.ports[port].written.insert(w.r.ports[port].written.end(), bytes.begin(), bytes.end());
    if (d.echoes)
        schedule(line, bytes, at_us);
    for (BYTE b : bytes) {
        if (d.answers_query && line.query_seen_zero && b == 0x81)
            schedule(line, d.reply, at_us + d.reply_delay_ms * us_per_ms);
        line.query_seen_zero = b == 0x00;
    }
}

} // namespace standin::detail

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    note_call();
    auto &w = world();
    const std::size_t prefix = sizeof device_prefix - 1;
    int found = -1;
    if (lpFileName && strncmp(lpFileName, device_prefix, prefix) == 0)
        for (std::size_t i = 0; i < w.s.ports.size(); ++i)
            if (strcasecmp(lpFileName + prefix, w.s.ports[i].name.c_str()) == 0)
                found = static_cast<int>(i);
    if (found < 0) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const port_script &script = w.s.ports[found];
    port_record &seen = w.r.ports[found];
    line_state &line = w.lines[found];
    seen.last_access = dwDesiredAccess;
    seen.last_share_mode = dwShareMode;
    seen.last_disposition = dwCreationDisposition;
    if (script.presence == port_presence::absent || line.vanished) {
        ++seen.open_failures;
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (script.presence == port_presence::held_by_other_program || line.held_by >= 0) {
        if (line.held_by >= 0)
            violation("port " + script.name + " opened while the program still holds it");
        ++seen.open_failures;
        set_last_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = make_handle(kind::port, found, overlapped);
    line.held_by = index_of(h);
    line.input.clear(); // what was sent while the port was closed is lost
    line.query_seen_zero = false;
    line.listening_opened_at_us = never;
    ++seen.opens;
    if (overlapped) {
        ++seen.overlapped_opens;
        return h;
    }

    // A blocking open is the listening phase: the device's code stream starts.
    const std::uint64_t now = w.r.now_us;
    std::uint64_t last = now;
    for (const auto &burst : script.device.stream) {
        const std::uint64_t from = now + burst.at_ms * us_per_ms;
        schedule(line, burst.bytes, from);
        last = std::max(last, from + burst.bytes.size() * byte_time_us);
    }
    if (script.device.reads_fail_from_ms)
        last = std::max(last, now + *script.device.reads_fail_from_ms * us_per_ms);
    if (w.s.console_stop_at_ms)
        last = std::max(last, now + *w.s.console_stop_at_ms * us_per_ms);
    line.listening_opened_at_us = now;
    line.listening_ends_at_us = last + w.s.listening_tail_ms * us_per_ms;
    seen.listening_opened_at_us = now;
    return h;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    if (p.script->device.get_state_fails) {
        set_last_error(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *lpDCB = p.seen->line;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    ++p.seen->set_state_calls;
    if (p.script->device.set_state_refused) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p.seen->line = *lpDCB;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    *lpCommTimeouts = p.seen->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    if (p.script->device.set_timeouts_refused) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p.seen->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    note_call();
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    auto *buffer = static_cast<BYTE *>(lpBuffer);
    if (p.handle->overlapped != (lpOverlapped != nullptr))
        violation("read with a request record that does not match how the port was opened");
    if (!lpOverlapped)
        return blocking_read(p, buffer, nNumberOfBytesToRead, lpNumberOfBytesRead);

    begin_request(p, lpOverlapped);
    const device_script &d = p.script->device;
    if (d.read_error) {
        set_last_error(d.read_error);
        return FALSE;
    }
    auto &w = world();
    std::uint64_t done = d.read_never_completes ? never
                                                : plan_read(*p.line, p.seen->timeouts, w.r.now_us,
                                                            nNumberOfBytesToRead);
    // The platform leaves a read that could be served at once pending for a
    // moment unless told otherwise.
    if (done == w.r.now_us && !d.reads_complete_at_once)
        done += 1000;
    return issue(
        {index_of(hFile), lpOverlapped, buffer, nNumberOfBytesToRead, true, done, false, 0, 0, {}},
        lpNumberOfBytesRead);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    note_call();
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    const auto *bytes = static_cast<const BYTE *>(lpBuffer);
    std::vector<BYTE> sent(bytes, bytes + nNumberOfBytesToWrite);
    if (p.handle->overlapped != (lpOverlapped != nullptr))
        violation("write with a request record that does not match how the port was opened");
    if (!lpOverlapped) {
        device_hears(p.handle->port, sent, world().r.now_us);
        if (lpNumberOfBytesWritten)
            *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
        return TRUE;
    }

    begin_request(p, lpOverlapped);
    const device_script &d = p.script->device;
    if (d.write_error) {
        set_last_error(d.write_error);
        return FALSE;
    }
    // A pending write takes the line's time for its bytes, bounded by the
    // port's write time-out when one is set.
    const COMMTIMEOUTS &t = p.seen->timeouts;
    const std::uint64_t limit_ms =
        std::uint64_t(t.WriteTotalTimeoutMultiplier) * nNumberOfBytesToWrite +
        t.WriteTotalTimeoutConstant;
    const std::uint64_t on_the_line =
        std::min(sent.size() * byte_time_us, limit_ms ? limit_ms * us_per_ms : never);
    const std::uint64_t now = world().r.now_us;
    const std::uint64_t done = d.write_never_completes     ? never
                               : d.writes_complete_at_once ? now
                                                           : now + on_the_line;
    return issue({index_of(hFile), lpOverlapped, nullptr, nNumberOfBytesToWrite, false, done, false,
                  0, nNumberOfBytesToWrite, std::move(sent)},
                 lpNumberOfBytesWritten);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    note_call();
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    auto &w = world();
    const int handle = index_of(hFile);
    request *q = nullptr;
    for (auto it = w.requests.rbegin(); it != w.requests.rend() && !q; ++it)
        if (it->record == lpOverlapped && it->handle == handle)
            q = &*it;
    if (!q) {
        violation("result asked of a request that was never issued");
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!q->finished) {
        if (!bWait) {
            set_last_error(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (q->done_at_us == never) {
            violation("waits for ever on a request that never completes");
            throw listening_ended{"waits for ever"};
        }
        advance_to(q->done_at_us);
        // Waiting for the result took the signal of an auto-reset event.
        handle_entry &signalled = w.handles[signalled_by(*q)];
        if (!signalled.manual_reset)
            signalled.signalled = false;
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = q->transferred;
    if (q->status != 0) {
        set_last_error(q->status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    const port_view p = view_of(hFile);
    if (!p.handle)
        return FALSE;
    auto &w = world();
    const int handle = index_of(hFile);
    for (auto &q : w.requests)
        if (!q.finished && q.handle == handle) {
            q.status = ERROR_OPERATION_ABORTED;
            q.transferred = 0;
            q.done_at_us = w.r.now_us;
        }
    advance_to(w.r.now_us);
    return TRUE;
}

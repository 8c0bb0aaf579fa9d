// Events, waits, pauses, handle closing and the last-error value.
#include <algorithm>

#include "standin/state.h"

using namespace standin;
using namespace standin::detail;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    note_call();
    if (world().s.event_creation_fails) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = make_handle(kind::event);
    handle_entry &e = world().handles[index_of(h)];
    e.manual_reset = bManualReset != FALSE;
    e.signalled = bInitialState != FALSE;
    return h;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    note_call();
    auto &w = world();
    const int index = index_of(hHandle);
    if (index < 0 || !w.handles[index].open || w.handles[index].what == kind::key) {
        if (index >= 0 && !w.handles[index].open)
            violation("wait on a closed handle");
        set_last_error(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const std::uint64_t deadline =
        dwMilliseconds == INFINITE ? never : w.r.now_us + dwMilliseconds * us_per_ms;
    if (!w.handles[index].signalled) {
        const request *first = nullptr;
        for (const auto &q : w.requests)
            if (!q.finished && q.done_at_us <= deadline && signalled_by(q) == index &&
                (!first || q.done_at_us < first->done_at_us))
                first = &q;
        if (first) {
            advance_to(first->done_at_us);
        } else if (deadline == never) {
            violation("waits for ever");
            throw listening_ended{"waits for ever"};
        } else {
            advance_to(deadline);
            return WAIT_TIMEOUT;
        }
    }
    handle_entry &e = w.handles[index];
    if (!e.manual_reset)
        e.signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
    auto &w = world();
    const int index = index_of(hObject);
    if (index < 0) {
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handle_entry &e = w.handles[index];
    if (!e.open) {
        violation("handle closed twice");
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (e.what == kind::key) {
        violation("registry key closed with CloseHandle");
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (const auto &q : w.requests)
        if (!q.finished && (q.handle == index || signalled_by(q) == index))
            violation(e.what == kind::port ? "port closed with a request in flight"
                                           : "event closed with a request in flight");
    if (e.what == kind::port) {
        std::erase_if(w.requests, [&](const request &q) { return q.handle == index; });
        line_state &line = w.lines[e.port];
        line.held_by = -1;
        line.listening_opened_at_us = never;
        if (e.overlapped && w.s.ports[e.port].device.vanishes_after_probe)
            line.vanished = true;
    }
    e.open = false;
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    advance_to(world().r.now_us + dwMilliseconds * us_per_ms);
}

DWORD GetLastError(void) {
    return world().last_error;
}

// The world's clock, handle table and what was seen.
#include <algorithm>
#include <cstdio>

#include "standin/state.h"

namespace standin::detail {

namespace {
constexpr std::uintptr_t first_handle = 0x1000;
constexpr std::uintptr_t handle_step = 8;
constexpr std::uint64_t runaway_us = 24ull * 3600 * 1000 * 1000;
constexpr std::uint64_t spin_limit = 100000;
} // namespace

state &world(void) {
    static state the_world;
    return the_world;
}

void violation(const std::string &what) {
    world().r.violations.push_back(what);
}

void set_last_error(DWORD error) {
    world().last_error = error;
}

HANDLE make_handle(kind what, int port, bool overlapped) {
    auto &w = world();
    w.handles.push_back({what, true, port, overlapped, false, false});
    const std::uintptr_t value = first_handle + handle_step * (w.handles.size() - 1);
    return reinterpret_cast<HANDLE>(value);
}

int index_of(HANDLE h) {
    const auto value = reinterpret_cast<std::uintptr_t>(h);
    if (value < first_handle || (value - first_handle) % handle_step != 0)
        return -1;
    const std::uintptr_t index = (value - first_handle) / handle_step;
    return index < world().handles.size() ? static_cast<int>(index) : -1;
}

handle_entry *entry(HANDLE h, kind what) {
    const int index = index_of(h);
    if (index < 0) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    handle_entry &e = world().handles[index];
    if (!e.open || e.what != what) {
        violation(e.open ? "handle used as the wrong kind" : "closed handle used");
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &e;
}

void signal(handle_entry &e) {
    e.signalled = true;
}

DWORD take_input(line_state &line, BYTE *buffer, DWORD n, std::uint64_t until_us) {
    DWORD count = 0;
    while (count < n && !line.input.empty() && line.input.front().at_us <= until_us) {
        buffer[count++] = line.input.front().value;
        line.input.pop_front();
    }
    return count;
}

namespace {

void finish(request &q) {
    auto &w = world();
    q.finished = true;
    if (q.is_read && q.status == 0) {
        const DWORD count =
            take_input(w.lines[w.handles[q.handle].port], q.buffer, q.size, q.done_at_us);
        q.transferred = count;
        // As under Wine: an overlapped read whose time-out passes with nothing
        // received ends in a time-out error, one that got some bytes succeeds.
        if (count == 0)
            q.status = ERROR_TIMEOUT;
    }
    if (!q.is_read && q.status == 0)
        device_hears(w.handles[q.handle].port, q.sent, q.done_at_us);
    q.record->Internal = q.status;
    q.record->InternalHigh = q.transferred;
    signal(w.handles[signalled_by(q)]);
}

} // namespace

int signalled_by(const request &q) {
    const auto &w = world();
    const int event = index_of(q.record->hEvent);
    if (event >= 0 && w.handles[event].open && w.handles[event].what == kind::event)
        return event;
    return q.handle;
}

void advance_to(std::uint64_t at_us) {
    auto &w = world();
    for (;;) {
        request *due = nullptr;
        for (auto &q : w.requests)
            if (!q.finished && q.done_at_us <= at_us && (!due || q.done_at_us < due->done_at_us))
                due = &q;
        if (!due)
            break;
        w.r.now_us = std::max(w.r.now_us, due->done_at_us);
        finish(*due);
    }
    w.r.now_us = std::max(w.r.now_us, at_us);
    if (w.r.now_us > runaway_us) {
        violation("the run went on for a virtual day");
        throw listening_ended{"virtual time ran out"};
    }
}

void note_call(void) {
    auto &w = world();
    if (w.r.now_us != w.last_call_at_us) {
        w.last_call_at_us = w.r.now_us;
        w.calls_without_time_passing = 0;
        return;
    }
    if (++w.calls_without_time_passing > spin_limit) {
        violation("the program spins without time passing");
        throw listening_ended{"spinning"};
    }
}

} // namespace standin::detail

namespace standin {

using namespace detail;

DCB default_line(void) {
    DCB line = {};
    line.DCBlength = sizeof(DCB);
    line.BaudRate = 9600;
    line.fBinary = 1;
    line.fParity = 1;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.ByteSize = 7;
    line.Parity = EVENPARITY;
    line.StopBits = 2;
    return line;
}

void load(const script &s) {
    auto &w = world();
    w = state{};
    w.s = s;
    w.lines.resize(s.ports.size());
    w.r.ports.resize(s.ports.size());
    for (std::size_t i = 0; i < s.ports.size(); ++i) {
        w.r.ports[i].line = s.ports[i].line;
        w.r.ports[i].timeouts = s.ports[i].timeouts;
    }
}

const record &observed(void) {
    return world().r;
}

std::uint64_t now_ms(void) {
    return world().r.now_us / 1000;
}

std::vector<std::string> open_handles(void) {
    std::vector<std::string> open;
    const auto &w = world();
    for (const auto &e : w.handles) {
        if (!e.open)
            continue;
        switch (e.what) {
        case kind::port:
            open.push_back("port " + w.s.ports[e.port].name +
                           (e.overlapped ? " (overlapped)" : " (blocking)"));
            break;
        case kind::event:
            open.push_back("event");
            break;
        case kind::key:
            open.push_back("registry key");
            break;
        }
    }
    return open;
}

int requests_in_flight(void) {
    const auto &q = world().requests;
    return static_cast<int>(std::count_if(q.begin(), q.end(), [](auto &r) { return !r.finished; }));
}

void release_all(void) {
    auto &w = world();
    w.requests.clear();
    for (auto &e : w.handles)
        e.open = false;
    for (auto &l : w.lines)
        l.held_by = -1;
}

} // namespace standin

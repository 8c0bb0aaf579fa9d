// The stand-in's own bookkeeping, shared by its files: the handle table, the
// requests in flight and the bytes on each line.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "standin/world.h"

namespace standin::detail {

constexpr std::uint64_t never = UINT64_MAX;
// One byte of 10 bits at 115200 baud.
constexpr std::uint64_t byte_time_us = 87;
constexpr std::uint64_t us_per_ms = 1000;

enum class kind { port, event, key };

struct handle_entry {
    kind what;
    bool open;
    int port;        // index into the script's ports, for a port
    bool overlapped; // opened with FILE_FLAG_OVERLAPPED
    bool signalled;  // for an event, and for a port that completes a request without one
    bool manual_reset;
};

struct request {
    int handle;
    OVERLAPPED *record;
    BYTE *buffer;
    DWORD size;
    bool is_read;
    std::uint64_t done_at_us;
    bool finished;
    DWORD status;
    DWORD transferred;
    std::vector<BYTE> sent; // for a write: the bytes, heard by the device when it completes
};

struct arrival {
    std::uint64_t at_us;
    BYTE value;
};

struct line_state {
    std::deque<arrival> input; // bytes sent by the device, by time of arrival
    bool vanished = false;
    int held_by = -1; // handle index while the program has it open
    std::uint64_t listening_opened_at_us = never;
    std::uint64_t listening_ends_at_us = never;
    bool query_seen_zero = false;
};

struct state {
    script s;
    record r;
    std::vector<handle_entry> handles;
    std::vector<request> requests;
    std::vector<line_state> lines;
    DWORD last_error = 0;
    PHANDLER_ROUTINE console_handler = nullptr;
    std::uint64_t calls_without_time_passing = 0;
    std::uint64_t last_call_at_us = 0;
};

state &world(void);

void violation(const std::string &what);
void set_last_error(DWORD error);

HANDLE make_handle(kind what, int port = -1, bool overlapped = false);
// The entry behind a handle of the given kind, or nullptr (last error set).
handle_entry *entry(HANDLE h, kind what);
int index_of(HANDLE h);

// Moves the clock on, completing every request that falls due on the way.
void advance_to(std::uint64_t at_us);
void signal(handle_entry &e);
// Takes up to n bytes that have arrived on the line by the given time.
DWORD take_input(line_state &line, BYTE *buffer, DWORD n, std::uint64_t until_us);
// The handle a request signals when it completes: its event, or else its port.
int signalled_by(const request &q);
// What the device on a line does with bytes it has been sent.
void device_hears(int port, const std::vector<BYTE> &bytes, std::uint64_t at_us);
// Stops the program if it keeps calling without the clock ever moving.
void note_call(void);

} // namespace standin::detail

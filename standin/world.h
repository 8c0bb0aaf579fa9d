// The scripted world behind the host stand-in: what a test sets up before a
// run (registry, serial ports and the devices on them, the console) and what
// the stand-in saw the program do. Time is virtual: Sleep and every wait move a
// clock instead of taking real time, so whole runs are fast and repeatable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/win32.h"

namespace standin {

// Thrown out of a blocking ReadFile on the listening port to end a run that
// would otherwise listen for ever: the device script is played out, or the
// console stopped the process. The program code never catches it.
struct listening_ended {
    const char *why;
};

struct registry_value {
    std::string name; // bytes of the value's name (the device name)
    std::string data; // bytes of the value's data, a terminator only if given
};

struct registry_script {
    std::vector<registry_value> values; // enumerated in this order
    LSTATUS open_result = ERROR_SUCCESS;
    // Like an ordinary user, the caller is refused every write right on the key.
    bool caller_elevated = false;
};

enum class port_presence { absent, held_by_other_program, present };

// Bytes the device sends starting at a time; consecutive bytes are spaced as
// on a 115200-baud line.
struct timed_bytes {
    std::uint32_t at_ms;
    std::vector<BYTE> bytes;
};

struct device_script {
    bool answers_query = false; // sends `reply` once it has received 0x00 0x81
    std::vector<BYTE> reply = {0x81};
    std::uint32_t reply_delay_ms = 2;
    bool echoes = false;             // transmit wired to receive
    std::vector<timed_bytes> stream; // times relative to the blocking (listening) open
    std::optional<std::uint32_t> reads_fail_from_ms; // unplugged, relative to that open
    bool writes_complete_at_once = true;             // as Wine does for small writes
    bool reads_complete_at_once = false;             // only when all asked for is already there
    bool write_never_completes = false;              // only CancelIo ends it
    bool read_never_completes = false;
    DWORD write_error = 0; // overlapped WriteFile fails at once with this
    DWORD read_error = 0;  // ReadFile fails at once with this
    bool get_state_fails = false;
    bool set_state_refused = false;
    bool set_timeouts_refused = false;
    bool vanishes_after_probe = false; // unplugged once the first probe closed it
};

DCB default_line(void); // 9600 baud, 7E2, DTR and RTS on, parity checking on

struct port_script {
    std::string name; // "COM3", opened through "\\.\COM3"
    port_presence presence = port_presence::present;
    device_script device;
    DCB line = default_line();
    COMMTIMEOUTS timeouts = {};
};

struct script {
    registry_script registry;
    std::vector<port_script> ports;
    bool stdout_is_console = false;
    bool event_creation_fails = false;
    std::optional<std::uint32_t> console_stop_at_ms; // relative to the listening open
    std::uint32_t listening_tail_ms = 20;            // idle listening after the last scripted thing
    int stdout_fd = -1; // when set, output visible there is sampled at each listening read
};

struct port_record {
    int opens = 0;
    int overlapped_opens = 0;
    int open_failures = 0;
    DWORD last_access = 0;
    DWORD last_share_mode = 0xFFFFFFFFu;
    DWORD last_disposition = 0;
    int set_state_calls = 0;
    DCB line = {};
    COMMTIMEOUTS timeouts = {};
    std::vector<BYTE> written;
    std::vector<BYTE> delivered_while_listening;
    std::uint64_t listening_reads = 0;
    std::uint64_t listening_opened_at_us = 0;
};

struct message_box_call {
    std::string text;
    std::string caption;
    UINT type;
    bool has_owner;
    std::uint64_t at_us;
};

struct output_sample {
    std::size_t values_delivered;
    long long visible_bytes;
};

struct record {
    std::uint64_t now_us = 0;
    std::vector<REGSAM> requested_access;
    int enumerations = 0;
    int key_closes = 0;
    std::vector<message_box_call> message_boxes;
    std::vector<port_record> ports; // in the script's order
    std::vector<std::string> violations;
    std::vector<output_sample> output_samples;
    bool console_handler_installed = false;
    std::optional<BOOL> console_handler_result;
    long long visible_after_console_stop = -1;
};

// Starts a new world from the script: clock at 0, no handles, nothing seen.
void load(const script &s);
const record &observed(void);
std::uint64_t now_ms(void);
// Descriptions of the handles the program has left open.
std::vector<std::string> open_handles(void);
// Requests still in flight, which the platform would go on writing into.
int requests_in_flight(void);
// Closes what a run left open (the listening port is held until the process
// ends), so the next world starts clean.
void release_all(void);

} // namespace standin

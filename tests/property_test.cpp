// Random registries and random devices, many seeds: whatever the system
// lists and whatever the devices do, the run must not crash, leak or hold a
// port twice, must print only its own lines, and must end with status 1 or
// listen, showing every byte it received.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "tests/harness.h"

namespace {

constexpr int seeds = 5000;

struct generator {
    std::mt19937 rng;

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    bool chance(int percent) { return below(100) < percent; }
    std::string bytes(int max_length) {
        std::string s(static_cast<std::size_t>(below(max_length + 1)), '\0');
        for (char &c : s)
            c = static_cast<char>(below(256));
        return s;
    }
    std::vector<BYTE> byte_values(int max_length) {
        const std::string s = bytes(max_length);
        return {s.begin(), s.end()};
    }

    std::string device_name() {
        switch (below(5)) {
        case 0:
        case 4:
            return "\\Device\\VCP" + std::to_string(below(10));
        case 1:
            return "\\Device\\Serial" + std::to_string(below(10));
        case 2:
            return bytes(20) + (chance(50) ? "vCp" : "") + bytes(4);
        default:
            return bytes(20);
        }
    }

    std::string port_data() {
        const std::string name = "COM" + std::to_string(1 + below(6));
        switch (below(5)) {
        case 0:
        case 4:
            return name + std::string(1, '\0');
        case 1:
            return name; // no terminator
        case 2:
            return "COM" + std::to_string(10000 + below(90000)) + (chance(50) ? "" : "x");
        default:
            return bytes(10);
        }
    }

    standin::port_script port(int number) {
        standin::port_script p = harness::silent_port("COM" + std::to_string(number));
        p.presence = chance(70) ? standin::port_presence::present
                                : static_cast<standin::port_presence>(below(2));
        standin::device_script &d = p.device;
        d.answers_query = chance(60);
        d.reply = chance(50) ? std::vector<BYTE>{0x81} : byte_values(140);
        d.reply_delay_ms = static_cast<std::uint32_t>(below(120));
        d.echoes = chance(10);
        const int bursts = below(4);
        for (int i = 0; i < bursts; ++i)
            d.stream.push_back({static_cast<std::uint32_t>(below(600)), byte_values(80)});
        if (chance(15))
            d.reads_fail_from_ms = static_cast<std::uint32_t>(below(400));
        d.writes_complete_at_once = chance(70);
        d.reads_complete_at_once = chance(20);
        d.write_never_completes = chance(5);
        d.read_never_completes = chance(5);
        d.write_error = chance(5) ? ERROR_GEN_FAILURE : 0;
        d.read_error = chance(5) ? ERROR_GEN_FAILURE : 0;
        d.get_state_fails = chance(5);
        d.set_state_refused = chance(5);
        d.set_timeouts_refused = chance(5);
        d.vanishes_after_probe = chance(10);
        return p;
    }

    standin::script world() {
        standin::script s;
        const int values = below(7);
        for (int i = 0; i < values; ++i)
            s.registry.values.push_back({device_name(), port_data()});
        if (chance(3))
            s.registry.open_result = ERROR_FILE_NOT_FOUND;
        for (int number = 1; number <= 6; ++number)
            if (chance(80))
                s.ports.push_back(port(number));
        s.stdout_is_console = chance(50);
        s.event_creation_fails = chance(3);
        if (chance(20))
            s.console_stop_at_ms = static_cast<std::uint32_t>(below(700));
        return s;
    }
};

// Reads the program's output line form by line form. Port names are the
// registry's bytes up to their terminator, so they may hold anything but a
// zero, line breaks included: a form matches where its fixed text does.
struct reader {
    const std::string &out;
    std::size_t at = 0;

    bool take(const std::string &text) {
        if (out.compare(at, text.size(), text) != 0)
            return false;
        at += text.size();
        return true;
    }
    // A form "<name><suffix>" with a name of at most 7 bytes.
    bool take_named(const std::string &prefix, const std::string &suffix, std::string *name) {
        if (out.compare(at, prefix.size(), prefix) != 0)
            return false;
        const std::size_t from = at + prefix.size();
        for (std::size_t length = 0; length <= 7 && from + length <= out.size(); ++length) {
            if (length > 0 && out[from + length - 1] == '\0')
                return false;
            if (out.compare(from + length, suffix.size(), suffix) == 0) {
                *name = out.substr(from, length);
                at = from + length + suffix.size();
                return true;
            }
        }
        return false;
    }
};

TEST(RandomWorlds, RunStaysSoundWhateverTheRegistryAndDevicesDo) {
    int listened = 0, stopped = 0, ports_reported = 0, bytes_shown = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        generator g{std::mt19937(static_cast<std::mt19937::result_type>(seed))};
        const standin::script s = g.world();
        const harness::run_outcome o = harness::run_program_in(s);
        const standin::record &seen = standin::observed();

        ASSERT_EQ(seen.violations, std::vector<std::string>{});
        ASSERT_EQ(o.requests_in_flight, 0);
        if (o.listening) {
            ASSERT_TRUE(o.ended_because == std::string("device script played out") ||
                        o.ended_because == std::string("stopped from the console"))
                << o.ended_because;
            ASSERT_EQ(o.left_open.size(), 1u);
        } else {
            ASSERT_EQ(o.status, 1);
            ASSERT_EQ(o.left_open, std::vector<std::string>{});
        }

        reader r{o.out};
        ASSERT_TRUE(r.take(harness::banner)) << o.out;
        std::string name;
        bool found = false;
        while (r.at < o.out.size() && !found) {
            const bool open_failed = r.take(harness::open_error);
            const bool query_failed = r.take(harness::query_error);
            ASSERT_TRUE(query_failed || !open_failed) << "a failed open ends the probe with err 22";
            if (r.take_named("", " -- failed to detect device :(\n", &name)) {
                ++ports_reported;
                continue;
            }
            ASSERT_TRUE(r.take_named("", " -- OK, device detected =|:-)=\n", &name))
                << "unexpected text at byte " << r.at << ": " << o.out.substr(r.at);
            ++ports_reported;
            found = true;
            ASSERT_TRUE(
                r.take("Listening codes on port " + name + ", press any key on remote control:\n"));
        }
        ASSERT_TRUE(found || !o.listening);
        // Everything after the listening line is the bytes received, in order.
        std::vector<BYTE> delivered;
        for (const auto &p : seen.ports)
            delivered.insert(delivered.end(), p.delivered_while_listening.begin(),
                             p.delivered_while_listening.end());
        ASSERT_EQ(o.out.substr(r.at), harness::values_text(delivered));
        if (seen.console_handler_result) {
            ++stopped;
            ASSERT_EQ(seen.visible_after_console_stop, static_cast<long long>(o.out.size()));
        }
        listened += o.listening;
        bytes_shown += static_cast<int>(delivered.size());
    }
    printf("random worlds: %d runs, %d listened, %d stopped from the console, %d port lines, "
           "%d bytes shown\n",
           seeds, listened, stopped, ports_reported, bytes_shown);
}

} // namespace

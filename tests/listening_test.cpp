// The listening phase: how received bytes are shown, when they become
// visible, and how the loop copes with an unplugged receiver or a stop from
// the console.
#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

using harness::banner;
using harness::listening_line;
using harness::ok_line;
using harness::values_text;

const std::string header = banner + ok_line("COM3") + listening_line("COM3");

// One receiver on COM3 that, once listened to, sends `codes` one every
// `spacing_ms`, starting 300 ms after the port was reopened.
standin::script listening_to(const std::vector<BYTE> &codes, std::uint32_t spacing_ms) {
    standin::script s;
    s.registry.values = {harness::serial_value("\\Device\\VCP0", "COM3")};
    standin::port_script port = harness::receiver("COM3");
    for (std::size_t i = 0; i < codes.size(); ++i)
        port.device.stream.push_back(
            {static_cast<std::uint32_t>(300 + i * spacing_ms), {codes[i]}});
    s.ports = {port};
    return s;
}

std::vector<BYTE> every_value() {
    std::vector<BYTE> all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<BYTE>(v));
    return all;
}

TEST(ListeningDisplay, EveryByteValueIsShownInOrderWithBreaksAbove250) {
    standin::script s = listening_to({}, 0);
    s.ports[0].device.stream = {{300, every_value()}}; // back to back at line rate
    const harness::run_outcome o = harness::run_program_in(s);
    ASSERT_TRUE(o.listening) << o.out;
    EXPECT_EQ(standin::observed().ports[0].delivered_while_listening, every_value());

    std::string shown;
    for (int v = 0; v <= 250; ++v)
        shown += std::to_string(v) + " ";
    shown += "251 \n252 \n253 \n254 \n255 \n";
    EXPECT_EQ(o.out, header + shown);
}

TEST(ListeningDisplay, OnAConsoleEachValueShowsBeforeTheNextReadWithoutALineBreak) {
    const std::vector<BYTE> codes = {0, 250, 7, 251, 42, 255, 1};
    standin::script s = listening_to(codes, 5);
    s.stdout_is_console = true;
    const harness::run_outcome o = harness::run_program_in(s);
    ASSERT_EQ(o.out, header + values_text(codes));

    const auto &delivered = standin::observed().ports[0].delivered_while_listening;
    const auto &samples = standin::observed().output_samples;
    ASSERT_FALSE(samples.empty());
    for (const auto &sample : samples) {
        const std::vector<BYTE> so_far(delivered.begin(),
                                       delivered.begin() +
                                           static_cast<std::ptrdiff_t>(sample.values_delivered));
        ASSERT_EQ(sample.visible_bytes,
                  static_cast<long long>(header.size() + values_text(so_far).size()))
            << "after " << sample.values_delivered << " values";
    }
}

TEST(ListeningDisplay, ToAPipeTextGoesOutInBlocksOf4096Bytes) {
    const std::vector<BYTE> codes(2000, 255); // "255 \n" each: 10,000 bytes in all
    standin::script s = listening_to({}, 0);
    s.ports[0].device.stream = {{300, codes}};
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.out, header + values_text(codes));

    long long largest = 0;
    for (const auto &sample : standin::observed().output_samples) {
        ASSERT_EQ(sample.visible_bytes % 4096, 0) << "after " << sample.values_delivered;
        largest = std::max(largest, sample.visible_bytes);
    }
    EXPECT_EQ(largest, 8192) << "two full blocks went out while listening";
}

TEST(ListeningStop, CtrlCWhileWritingToAPipeKeepsEveryValuePrinted) {
    const std::vector<BYTE> codes = {1, 2, 3, 251, 4, 5};
    standin::script s = listening_to(codes, 3);
    s.console_stop_at_ms = 400;
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.ended_because, "stopped from the console");
    const auto &seen = standin::observed();
    ASSERT_TRUE(seen.console_handler_installed);
    ASSERT_TRUE(seen.console_handler_result.has_value());
    EXPECT_FALSE(*seen.console_handler_result) << "the default handling must still end it";
    const std::string expected = header + values_text(codes);
    EXPECT_EQ(seen.visible_after_console_stop, static_cast<long long>(expected.size()))
        << "output less than a block must be flushed when the console stops the program";
    EXPECT_EQ(o.out, expected);
}

TEST(ListeningPace, IdleLineReadsAboutOncePerMillisecondAndUnpluggedDoesNotSpin) {
    struct pace_case {
        const char *what;
        std::optional<std::uint32_t> fails_from_ms;
    };
    for (const pace_case c : {pace_case{"idle", std::nullopt}, pace_case{"unplugged", 0}}) {
        SCOPED_TRACE(c.what);
        standin::script s = listening_to({}, 0);
        s.ports[0].device.reads_fail_from_ms = c.fails_from_ms;
        s.listening_tail_ms = 200;
        const harness::run_outcome o = harness::run_program_in(s);
        ASSERT_TRUE(o.listening);
        EXPECT_EQ(o.out, header);
        const auto &port = standin::observed().ports[0];
        EXPECT_GE(port.listening_reads, 190u);
        EXPECT_LE(port.listening_reads, 210u);
        EXPECT_EQ(standin::observed().violations, std::vector<std::string>{});
    }
}

TEST(ListeningPace, ReceiverUnpluggedAndBackLosesNothingSentAfterwards) {
    const std::vector<BYTE> codes = {10, 251, 20, 30};
    standin::script s = listening_to(codes, 0);
    // Unplugged from 310 ms on: the first two codes arrive before that.
    s.ports[0].device.stream = {{300, {10, 251}}};
    s.ports[0].device.reads_fail_from_ms = 310;
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.out, header + "10 251 \n");
    EXPECT_EQ(standin::observed().violations, std::vector<std::string>{});
}

} // namespace

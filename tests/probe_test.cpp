// The probe: the name filter, the query exchange in time, and how it ends
// when the port or the device misbehaves.
#include <gtest/gtest.h>

#include "link/receiver_probe.h"
#include "tests/harness.h"

namespace {

struct probe_outcome {
    int detected = -1;
    std::string out;
    std::uint64_t elapsed_ms = 0;
    const standin::port_record *seen = nullptr;
};

probe_outcome probe(const standin::script &s, const char *device_name = "\\Device\\VCP0") {
    probe_outcome o;
    o.out = harness::capture_stdout([&](int) {
        standin::load(s);
        o.detected = probe_receiver(s.ports.at(0).name.c_str(), device_name);
    });
    o.elapsed_ms = standin::now_ms();
    o.seen = &standin::observed().ports[0];
    // Whatever happened, the probe leaves nothing behind.
    EXPECT_TRUE(standin::open_handles().empty());
    EXPECT_EQ(standin::requests_in_flight(), 0);
    EXPECT_EQ(standin::observed().violations, std::vector<std::string>{});
    return o;
}

standin::script with_port(standin::port_script port) {
    standin::script s;
    s.ports = {std::move(port)};
    return s;
}

struct filter_case {
    const char *device_name;
    bool probed;
};

void PrintTo(const filter_case &c, std::ostream *os) {
    *os << '"' << c.device_name << '"';
}

class ProbeNameFilter : public testing::TestWithParam<filter_case> {};

TEST_P(ProbeNameFilter, OnlyDevicesNamedVcpAreTouched) {
    const filter_case c = GetParam();
    const probe_outcome o = probe(with_port(harness::receiver("COM7")), c.device_name);
    EXPECT_EQ(o.detected, c.probed ? 1 : 0);
    EXPECT_EQ(o.seen->opens, c.probed ? 1 : 0);
    if (!c.probed) {
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.elapsed_ms, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, ProbeNameFilter,
                         testing::Values(filter_case{"\\Device\\vcp0", true},
                                         filter_case{"\\Device\\VCP0", true},
                                         filter_case{"usbVcPser", true}, filter_case{"vcp", true},
                                         filter_case{"\\Device\\V_C_P", false},
                                         filter_case{"\\Device\\Serial0", false},
                                         filter_case{"vc", false}, filter_case{"", false}));

std::vector<BYTE> filler(std::size_t n, BYTE last) {
    std::vector<BYTE> bytes(n, 0x55);
    bytes.push_back(last);
    return bytes;
}

struct reply_case {
    const char *what;
    void (*shape)(standin::device_script &);
    int detected;
};

void PrintTo(const reply_case &c, std::ostream *os) {
    *os << c.what;
}

class ProbeReply : public testing::TestWithParam<reply_case> {};

TEST_P(ProbeReply, DetectsTheAcknowledgementOnlyWhereItCounts) {
    standin::port_script port = harness::receiver("COM3");
    GetParam().shape(port.device);
    const probe_outcome o = probe(with_port(port));
    EXPECT_EQ(o.detected, GetParam().detected);
    EXPECT_EQ(o.out, "") << "the probe prints nothing unless the port or the query fails";
    EXPECT_EQ(o.elapsed_ms <= 670, true) << o.elapsed_ms;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ProbeReply,
    testing::Values(
        reply_case{"PlainAck", [](standin::device_script &) {}, 1},
        reply_case{"AckAs128thByte", [](standin::device_script &d) { d.reply = filler(127, 0x81); },
                   1},
        reply_case{"AckAs129thByte", [](standin::device_script &d) { d.reply = filler(128, 0x81); },
                   0},
        reply_case{"OtherValuesOnly",
                   [](standin::device_script &d) {
                       d.reply = {0x80, 0x01, 0xFF};
                   },
                   0},
        reply_case{"NoReply", [](standin::device_script &d) { d.answers_query = false; }, 0},
        reply_case{"AckBeforeTheRead", [](standin::device_script &d) { d.reply_delay_ms = 60; }, 1},
        reply_case{"AckAfterTheRead", [](standin::device_script &d) { d.reply_delay_ms = 75; }, 0},
        reply_case{"AckMuchLater", [](standin::device_script &d) { d.reply_delay_ms = 500; }, 0},
        reply_case{"EchoLine",
                   [](standin::device_script &d) {
                       d.answers_query = false;
                       d.echoes = true;
                   },
                   1},
        reply_case{"WriteLeftPending",
                   [](standin::device_script &d) { d.writes_complete_at_once = false; }, 1},
        reply_case{"ReadDoneAtOnce",
                   [](standin::device_script &d) {
                       d.reply = filler(127, 0x81);
                       d.reads_complete_at_once = true;
                   },
                   1},
        reply_case{"WriteNeverCompletes",
                   [](standin::device_script &d) { d.write_never_completes = true; }, 0},
        reply_case{"ReadNeverCompletes",
                   [](standin::device_script &d) { d.read_never_completes = true; }, 0}),
    [](const testing::TestParamInfo<reply_case> &param) { return std::string(param.param.what); });

TEST(ProbeFailure, EachFailureEndsWithItsOwnLinesAndNotDetected) {
    struct failure_case {
        const char *what;
        void (*shape)(standin::port_script &);
        std::string printed;
        std::uint64_t elapsed_ms;
    };
    const failure_case cases[] = {
        {"held by another program",
         [](standin::port_script &p) {
             p.presence = standin::port_presence::held_by_other_program;
         },
         harness::open_error + harness::query_error, 200},
        {"gone", [](standin::port_script &p) { p.presence = standin::port_presence::absent; },
         harness::open_error + harness::query_error, 200},
        {"write refused", [](standin::port_script &p) { p.device.write_error = ERROR_GEN_FAILURE; },
         harness::query_error, 200},
        {"read refused", [](standin::port_script &p) { p.device.read_error = ERROR_GEN_FAILURE; },
         "", 270},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        standin::port_script port = harness::receiver("COM3");
        c.shape(port);
        const probe_outcome o = probe(with_port(port));
        EXPECT_EQ(o.detected, 0);
        EXPECT_EQ(o.out, c.printed);
        EXPECT_EQ(o.elapsed_ms, c.elapsed_ms);
    }
}

TEST(ProbeFailure, NoEventMeansNotDetectedEvenWithTheReceiverThere) {
    standin::script s = with_port(harness::receiver("COM3"));
    s.event_creation_fails = true;
    const probe_outcome o = probe(s);
    EXPECT_EQ(o.detected, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.seen->opens, 1);
}

TEST(ProbeTiming, SpendsItsPausesAndNoMoreThanItsWaits) {
    // With the receiver there: 200 ms settle, the write, 70 ms, a 1 ms read.
    probe_outcome o = probe(with_port(harness::receiver("COM3")));
    EXPECT_EQ(o.detected, 1);
    EXPECT_GE(o.elapsed_ms, 270u);
    EXPECT_LE(o.elapsed_ms, 275u);
    EXPECT_EQ(o.seen->written, (std::vector<BYTE>{0x00, 0x81}));

    // Nothing ever completes: both waits run out.
    standin::port_script stuck = harness::receiver("COM3");
    stuck.device.write_never_completes = true;
    stuck.device.read_never_completes = true;
    o = probe(with_port(stuck));
    EXPECT_EQ(o.detected, 0);
    EXPECT_EQ(o.elapsed_ms, 670u);
}

} // namespace

// Whole runs of the program, from the registry to the listening loop: what
// the person at the console sees, how the run ends, how long it takes and
// what it leaves open.
#include <gtest/gtest.h>

#include <functional>

#include "tests/harness.h"

namespace {

using harness::banner;
using harness::failed_line;
using harness::listening_line;
using harness::ok_line;
using harness::receiver;
using harness::serial_value;
using harness::silent_port;

const REGSAM write_rights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

struct run_case {
    const char *what;
    std::function<standin::script()> world;
    std::string out;
    bool listening; // otherwise the run returned 1
    std::uint64_t min_ms, max_ms;
};

void PrintTo(const run_case &c, std::ostream *os) {
    *os << c.what;
}

standin::port_script streaming(const std::string &port, std::vector<BYTE> codes) {
    standin::port_script p = receiver(port);
    p.device.stream = {{300, std::move(codes)}};
    return p;
}

const std::string probe_failed = harness::open_error + harness::query_error;

std::vector<run_case> run_cases() {
    return {
        {"KeyWithNoValues", [] { return standin::script{}; }, banner, false, 10000, 10000},
        {"DevicesNotNamedVcpAreReportedButNotOpened",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\Serial0", "COM1"),
                                  serial_value("\\Device\\Serial1", "COM2")};
             s.ports = {receiver("COM1"), receiver("COM2")};
             return s;
         },
         banner + failed_line("COM1") + failed_line("COM2"), false, 10000, 10000},
        {"ReceiverFoundThenCodesShown",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\Serial0", "COM1"),
                                  serial_value("\\Device\\VCP0", "COM3")};
             s.ports = {receiver("COM1"), streaming("COM3", {250, 251, 0, 255, 7})};
             return s;
         },
         banner + failed_line("COM1") + ok_line("COM3") + listening_line("COM3") +
             "250 251 \n0 255 \n7 ",
         true, 570, 620},
        {"OnlyTheFirstOfTwoReceiversIsReported",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\VCP0", "COM3"),
                                  serial_value("\\Device\\VCP1", "COM4")};
             s.ports = {receiver("COM3"), receiver("COM4")};
             return s;
         },
         banner + ok_line("COM3") + listening_line("COM3"), true, 271, 300},
        {"SilentVcpPortFailsAndTheNextIsTried",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\VCP0", "COM3"),
                                  serial_value("\\Device\\VCP1", "COM4")};
             s.ports = {silent_port("COM3"), receiver("COM4")};
             return s;
         },
         banner + failed_line("COM3") + ok_line("COM4") + listening_line("COM4"), true, 542, 570},
        {"ValuesTooLongForTheBuffersAreSkippedSilently",
         [] {
             standin::script s;
             s.registry.values = {
                 serial_value("\\Device\\VCP0abcd", "COM5"),   // name of 16 characters
                 serial_value("\\Device\\VCP1", "COM12345"),   // data of 9 bytes
                 {"\\Device\\VCP2", "COM12345"},               // 8 bytes, no terminator
                 serial_value("\\Device\\VCP3abc", "COM1234"), // 15 and 7: fit exactly
             };
             s.ports = {receiver("COM5"), receiver("COM12345"), receiver("COM1234")};
             return s;
         },
         banner + ok_line("COM1234") + listening_line("COM1234"), true, 271, 300},
        {"ShortPortNameWithoutTerminatorIsUsed",
         [] {
             standin::script s;
             s.registry.values = {{"\\Device\\VCP0", "COM3"}};
             s.ports = {receiver("COM3")};
             return s;
         },
         banner + ok_line("COM3") + listening_line("COM3"), true, 271, 300},
        {"PortHeldByAnotherProgram",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\VCP0", "COM3")};
             s.ports = {receiver("COM3")};
             s.ports[0].presence = standin::port_presence::held_by_other_program;
             return s;
         },
         banner + probe_failed + failed_line("COM3"), false, 10200, 10200},
        {"PortListedButGone",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\VCP0", "COM9")};
             return s;
         },
         banner + probe_failed + failed_line("COM9"), false, 10200, 10200},
        {"FoundPortCannotBeReopened",
         [] {
             standin::script s;
             s.registry.values = {serial_value("\\Device\\VCP0", "COM3")};
             s.ports = {receiver("COM3")};
             s.ports[0].device.vanishes_after_probe = true;
             return s;
         },
         banner + ok_line("COM3") + listening_line("COM3"), false, 271, 280},
    };
}

class ProgramRun : public testing::TestWithParam<run_case> {};

TEST_P(ProgramRun, ShowsWhatItFoundAndEndsAsItShould) {
    const run_case &c = GetParam();
    const harness::run_outcome o = harness::run_program_in(c.world());
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.listening, c.listening) << o.ended_because;
    if (!c.listening) {
        EXPECT_EQ(o.status, 1);
    }
    EXPECT_GE(o.elapsed_ms, c.min_ms);
    EXPECT_LE(o.elapsed_ms, c.max_ms);

    // Only the listening port outlives the run; nothing is left in flight.
    if (c.listening) {
        ASSERT_EQ(o.left_open.size(), 1u);
        EXPECT_TRUE(o.left_open[0].ends_with("(blocking)")) << o.left_open[0];
    } else {
        EXPECT_EQ(o.left_open, std::vector<std::string>{});
    }
    EXPECT_EQ(o.requests_in_flight, 0);
    EXPECT_EQ(standin::observed().violations, std::vector<std::string>{});
    EXPECT_EQ(standin::observed().message_boxes.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProgramRun, testing::ValuesIn(run_cases()),
                         [](const testing::TestParamInfo<run_case> &param) {
                             return std::string(param.param.what);
                         });

TEST(ProgramRunDetails, NonVcpPortsAreNeverOpenedAndLaterReceiversNeverProbed) {
    standin::script s;
    s.registry.values = {serial_value("\\Device\\Serial0", "COM1"),
                         serial_value("\\Device\\VCP0", "COM3"),
                         serial_value("\\Device\\VCP1", "COM4")};
    s.ports = {receiver("COM1"), receiver("COM3"), receiver("COM4")};
    harness::run_program_in(s);
    const auto &ports = standin::observed().ports;
    EXPECT_EQ(ports[0].opens, 0);
    EXPECT_EQ(ports[1].opens, 2) << "probed once, then reopened for listening";
    EXPECT_EQ(ports[1].overlapped_opens, 1);
    EXPECT_EQ(ports[2].opens, 0);
}

TEST(ProgramRunDetails, AsksOnlyForReadAccessSoOrdinaryUsersCanRunIt) {
    standin::script s;
    s.registry.values = {serial_value("\\Device\\VCP0", "COM3")};
    s.ports = {receiver("COM3")};
    s.registry.caller_elevated = false;
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.out, banner + ok_line("COM3") + listening_line("COM3"));
    ASSERT_EQ(standin::observed().requested_access.size(), 1u);
    const REGSAM access = standin::observed().requested_access[0];
    EXPECT_EQ(access & write_rights, 0u);
    EXPECT_EQ(access & KEY_QUERY_VALUE, static_cast<REGSAM>(KEY_QUERY_VALUE));
    EXPECT_EQ(standin::observed().key_closes, 1);
}

TEST(ProgramRunDetails, UnreadablePortListShowsTheBoxThenEndsLikeNoReceiver) {
    standin::script s;
    s.registry.open_result = ERROR_ACCESS_DENIED;
    s.registry.values = {serial_value("\\Device\\VCP0", "COM3")};
    s.ports = {receiver("COM3")};
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.out, banner);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.elapsed_ms, 10000u);

    const auto &seen = standin::observed();
    ASSERT_EQ(seen.message_boxes.size(), 1u);
    EXPECT_EQ(seen.message_boxes[0].text, "error opening registry");
    EXPECT_EQ(seen.message_boxes[0].caption, "Pomvex");
    EXPECT_EQ(seen.message_boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_FALSE(seen.message_boxes[0].has_owner);
    EXPECT_EQ(seen.enumerations, 0) << "there is no key to enumerate";
    EXPECT_EQ(seen.key_closes, 0) << "nor one to close";
    EXPECT_EQ(seen.ports[0].opens, 0);
    EXPECT_EQ(seen.violations, std::vector<std::string>{});
}

TEST(ProgramRunDetails, ProbeFailuresNeverLeaveAPortHeldForTheNextStep) {
    // The receiver answers late on the first port and the read of the
    // second never completes: every port must be closed before the next open.
    standin::script s;
    s.registry.values = {serial_value("\\Device\\VCP0", "COM3"),
                         serial_value("\\Device\\VCP1", "COM4"),
                         serial_value("\\Device\\VCP2", "COM3")};
    s.ports = {receiver("COM3"), receiver("COM4")};
    s.ports[0].device.reply_delay_ms = 400;
    s.ports[1].device.read_never_completes = true;
    s.ports[1].device.write_never_completes = true;
    const harness::run_outcome o = harness::run_program_in(s);
    EXPECT_EQ(o.out, banner + failed_line("COM3") + failed_line("COM4") + failed_line("COM3"));
    EXPECT_EQ(o.left_open, std::vector<std::string>{});
    EXPECT_EQ(standin::observed().violations, std::vector<std::string>{});
}

} // namespace

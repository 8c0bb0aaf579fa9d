// Opening a port and putting it into the receiver's line format.
#include <gtest/gtest.h>

#include "link/receiver_port.h"
#include "tests/harness.h"

namespace {

struct mode_case {
    port_mode mode;
    bool overlapped;
    DWORD parity_check_after;
    DWORD record_length_after;
};

void PrintTo(const mode_case &c, std::ostream *os) {
    *os << (c.mode == port_mode::probe ? "probe mode" : "listening mode");
}

class PortSetup : public testing::TestWithParam<mode_case> {};

TEST_P(PortSetup, PutsAnyPortIntoTheReceiversLineFormat) {
    const mode_case c = GetParam();
    standin::port_script port = harness::silent_port("COM12");
    port.line.DCBlength = 12; // whatever the driver reported
    port.timeouts = {MAXDWORD, 7, 7, 7, 7};
    standin::script s;
    s.ports = {port};
    standin::load(s);

    HANDLE h = open_receiver_port("COM12", c.mode);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const standin::port_record &seen = standin::observed().ports[0];
    EXPECT_EQ(seen.last_access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(seen.last_share_mode, 0u) << "the port must be opened exclusively";
    EXPECT_EQ(seen.last_disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(seen.overlapped_opens, c.overlapped ? 1 : 0);

    const DCB &line = seen.line;
    EXPECT_EQ(line.BaudRate, 115200u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    EXPECT_EQ(line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(line.Parity, EVENPARITY) << "the parity mode is the port's own";
    EXPECT_EQ(line.fParity, c.parity_check_after);
    EXPECT_EQ(line.DCBlength, c.record_length_after);
    EXPECT_EQ(line.fBinary, 1u) << "fields not named are left as reported";

    const COMMTIMEOUTS &t = seen.timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(standin::open_handles().empty());
    EXPECT_TRUE(standin::observed().violations.empty());
}

INSTANTIATE_TEST_SUITE_P(BothModes, PortSetup,
                         testing::Values(mode_case{port_mode::probe, true, 0, 28},
                                         mode_case{port_mode::listening, false, 1, 12}));

TEST(PortSetupFailure, PortThatCannotBeOpenedGivesInvalidHandleInEitherMode) {
    for (auto presence :
         {standin::port_presence::held_by_other_program, standin::port_presence::absent}) {
        for (auto mode : {port_mode::probe, port_mode::listening}) {
            standin::port_script port = harness::receiver("COM3");
            port.presence = presence;
            standin::script s;
            s.ports = {port};
            standin::load(s);
            EXPECT_EQ(open_receiver_port("COM3", mode), INVALID_HANDLE_VALUE);
            EXPECT_TRUE(standin::open_handles().empty());
        }
    }
}

TEST(PortSetupFailure, UnreadableLineSettingsAreNotWrittenBack) {
    standin::port_script port = harness::silent_port("COM4");
    port.device.get_state_fails = true;
    standin::script s;
    s.ports = {port};
    standin::load(s);

    HANDLE h = open_receiver_port("COM4", port_mode::probe);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const standin::port_record &seen = standin::observed().ports[0];
    EXPECT_EQ(seen.set_state_calls, 0);
    EXPECT_EQ(seen.line.BaudRate, 9600u) << "the port keeps the settings it had";
    EXPECT_EQ(seen.timeouts.ReadTotalTimeoutConstant, 1u) << "time-outs are still set";
    CloseHandle(h);
}

TEST(PortSetupFailure, PortNameTooLongForTheDevicePathIsRefusedUnopened) {
    // The device path holds 127 characters: "\\.\" and at most 123 of the name.
    const std::string longest(123, 'P');
    const std::string too_long(124, 'P');
    standin::script s;
    s.ports = {harness::silent_port(longest), harness::silent_port(too_long)};
    standin::load(s);

    HANDLE h = open_receiver_port(longest.c_str(), port_mode::listening);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(open_receiver_port(too_long.c_str(), port_mode::listening), INVALID_HANDLE_VALUE);
    EXPECT_EQ(standin::observed().ports[1].opens + standin::observed().ports[1].open_failures, 0);
    const std::string huge(100000, 'P');
    EXPECT_EQ(open_receiver_port(huge.c_str(), port_mode::probe), INVALID_HANDLE_VALUE);
}

TEST(PortSetupTiming, IdleReadReturnsEmptyAfterOneMillisecond) {
    standin::script s;
    s.ports = {harness::silent_port("COM5")};
    standin::load(s);
    HANDLE h = open_receiver_port("COM5", port_mode::listening);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    BYTE value = 0;
    DWORD received = 99;
    const std::uint64_t before = standin::observed().now_us;
    EXPECT_TRUE(ReadFile(h, &value, 1, &received, nullptr));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(standin::observed().now_us - before, 1000u);
    CloseHandle(h);
}

} // namespace

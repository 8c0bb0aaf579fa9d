// Runs the real program code against a scripted stand-in world and captures
// what it printed, the way a person at the console would see it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "standin/world.h"

namespace harness {

const std::string banner = "Please shut down Pomvex.Tolla and Pomvex.Quenn.\n"
                           "Detecting Pomvex.Ravo on different COM ports:\n";
const std::string open_error = "errorr!!!!!!!!!!!!!!!! in opening port!\n";
const std::string query_error = "err 22: \n";
std::string ok_line(const std::string &port);
std::string failed_line(const std::string &port);
std::string listening_line(const std::string &port);
// How the run shows a stream of received bytes.
std::string values_text(const std::vector<BYTE> &values);

// A registry value as the system stores it: its data ends in a zero.
standin::registry_value serial_value(const std::string &device, const std::string &port);
// A port with the receiver on it, answering the query with 0x81.
standin::port_script receiver(const std::string &port);
// A port whose device never answers.
standin::port_script silent_port(const std::string &port);

struct run_outcome {
    bool listening = false; // the run was still listening when the script ended it
    std::string ended_because;
    int status = -1; // the run's result, when it returned
    std::string out; // every byte written to standard output
    std::uint64_t elapsed_ms = 0;
    std::vector<std::string> left_open; // handles still open afterwards
    int requests_in_flight = 0;
};

// Loads the script, runs the whole program, captures standard output and
// then releases what the run held, so the next scenario starts clean.
run_outcome run_program_in(standin::script s);

// Calls `body` with standard output sent to a fresh file and returns what
// was written there; `body` is given the file's descriptor.
std::string capture_stdout(const std::function<void(int fd)> &body);

} // namespace harness

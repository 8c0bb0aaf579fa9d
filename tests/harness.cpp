#include "tests/harness.h"

#include <cstdio>
#include <unistd.h>

#include "run/program_run.h"

namespace harness {

std::string ok_line(const std::string &port) {
    return port + " -- OK, device detected =|:-)=\n";
}

std::string failed_line(const std::string &port) {
    return port + " -- failed to detect device :(\n";
}

std::string listening_line(const std::string &port) {
    return "Listening codes on port " + port + ", press any key on remote control:\n";
}

std::string values_text(const std::vector<BYTE> &values) {
    std::string text;
    for (BYTE v : values) {
        text += std::to_string(v) + " ";
        if (v > 250)
            text += "\n";
    }
    return text;
}

standin::registry_value serial_value(const std::string &device, const std::string &port) {
    return {device, port + std::string(1, '\0')};
}

standin::port_script receiver(const std::string &port) {
    standin::port_script p;
    p.name = port;
    p.device.answers_query = true;
    return p;
}

standin::port_script silent_port(const std::string &port) {
    standin::port_script p;
    p.name = port;
    return p;
}

std::string capture_stdout(const std::function<void(int fd)> &body) {
    // The program sets the buffering of its standard output before its first
    // print, as a fresh process does. So each run gets a fresh stream (glibc
    // lets stdout be replaced) on a file of its own.
    FILE *file = tmpfile();
    FILE *const test_runner_stdout = stdout;
    stdout = fdopen(dup(fileno(file)), "w");
    body(fileno(stdout));
    fclose(stdout);
    stdout = test_runner_stdout;

    std::string text;
    rewind(file);
    char chunk[4096];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    fclose(file);
    return text;
}

run_outcome run_program_in(standin::script s) {
    run_outcome outcome;
    outcome.out = capture_stdout([&](int fd) {
        s.stdout_fd = fd;
        standin::load(s);
        try {
            outcome.status = run_program();
        } catch (const standin::listening_ended &end) {
            outcome.listening = true;
            outcome.ended_because = end.why;
        }
    });
    outcome.elapsed_ms = standin::now_ms();
    outcome.left_open = standin::open_handles();
    outcome.requests_in_flight = standin::requests_in_flight();
    standin::release_all();
    return outcome;
}

} // namespace harness

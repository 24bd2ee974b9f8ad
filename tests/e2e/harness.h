// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the real tools under the USB emulator and collects what they did.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace e2e {

struct Run {
    std::string out;                // the tool's standard output
    std::string err;                // standard error of the tool and the emulator
    int status = -1;                // the emulator's exit status (the tool's)
    std::vector<std::string> trace; // the event trace, one entry a line
};

// What the tool's standard output is.
enum class Output {
    Pipe,      // a pipe, read to its end
    FirstLine, // a pipe whose reader closes it once it holds the first line
    File,      // a regular file, read back after the run
    Closed,    // descriptor 1 closed (out stays empty)
};

// What to run: device descriptions, emulator options and the tool's arguments.
struct Setup {
    std::vector<std::string> devices;  // file names under tests/devices/ or paths
    std::vector<std::string> options;  // usbsim options, e.g. {"--view", "eperm"}
    Output output = Output::Pipe;
    std::string signal_at = {};        // once the trace holds this line, usbsim gets `signal`
    int signal = 0;
};

// Runs `tool` ("portcycle" or "hubsurvey") with `args` under usbsim, which
// starts as a real host starts a process: default signal dispositions, an
// empty signal mask.
Run run(const Setup &setup, const std::string &tool, const std::vector<std::string> &args = {});

// Returns the trace lines that start with one of `prefixes` ("usb_open", "pause"...).
std::vector<std::string> events(const Run &run, const std::vector<std::string> &prefixes);

// Returns the device nodes named by the trace's `usb_reset` lines, in order.
std::vector<std::string> resets(const Run &run);

// Returns "" when every usb_open that returned a handle is closed before the
// next usb_open and nothing is left open at exit; otherwise what went wrong.
std::string open_close_problem(const Run &run);

// Returns the first line of `out` that is not one of `tool`'s output
// formats, or "" when every line is one of them.
std::string unexpected_line(const std::string &tool, const std::string &out);

// Returns `out` with the serial text of every hubsurvey line and resetting
// message cut off: what a run that cannot read strings prints.
std::string without_serials(const std::string &out);

// Path of a file under tests/devices/ or tests/recordings/.
std::string device_file(const std::string &name);

// Joins lines with a newline after each one.
std::string lines(const std::vector<std::string> &lines);

} // namespace e2e

// Asserts what every run must show: exit status 0, nothing on standard
// error and every opened device closed again.
#define EXPECT_CLEAN_RUN(r)                                  \
    do {                                                     \
        EXPECT_EQ((r).status, 0);                            \
        EXPECT_EQ((r).err, "");                              \
        EXPECT_EQ(e2e::open_close_problem(r), "");           \
        EXPECT_EQ(e2e::unexpected_line("any", (r).out), ""); \
    } while (0)

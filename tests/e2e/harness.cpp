// SPDX-License-Identifier: GPL-2.0-or-later
// harness -- runs the tools under usbsim and reads what they printed and did.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace e2e {

namespace {

std::string tool_path(const std::string &tool)
{
    if (tool == "portcycle")
        return PORTCYCLE_PATH;
    if (tool == "hubsurvey")
        return HUBSURVEY_PATH;
    return tool;
}

// Splits the optional command prefix (valgrind and the like) on blanks.
std::vector<std::string> wrapper()
{
    std::vector<std::string> words;
    const char *text = std::getenv("PORTCYCLE_TEST_WRAPPER");
    std::istringstream in(text != nullptr ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Reads the output pipe `out_fd` (-1: none) and the error pipe `err_fd` to
// their end, so that neither can fill up and stall the child; with
// `first_line` the output pipe is closed as soon as it has given a whole
// line. `tick`, when set, is called at least every 20 ms until both end.
void drain(int out_fd, int err_fd, bool first_line, const std::function<void()> &tick, std::string &out,
           std::string &err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_fds = (out_fd >= 0 ? 1 : 0) + (err_fd >= 0 ? 1 : 0);
    char buf[4096];
    while (open_fds > 0) {
        if (tick)
            tick();
        if (poll(fds, 2, tick ? 20 : -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            if (n <= 0 || (i == 0 && first_line && out.find('\n') != std::string::npos)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
}

// True when the file at `path` holds the line `line`.
bool has_line(const char *path, const std::string &line)
{
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);)
        if (text == line)
            return true;
    return false;
}

std::string node_of(const std::string &line)
{
    std::istringstream in(line);
    std::string word, node;
    in >> word >> node;
    return node;
}

bool starts_with(const std::string &line, const std::string &prefix)
{
    return line.compare(0, prefix.size(), prefix) == 0 &&
           (line.size() == prefix.size() || line[prefix.size()] == ' ');
}

} // namespace

std::string device_file(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const std::string in_devices = std::string(TESTS_DIR) + "/devices/" + name;
    if (access(in_devices.c_str(), R_OK) == 0)
        return in_devices;
    return std::string(TESTS_DIR) + "/recordings/" + name;
}

Run run(const Setup &setup, const std::string &tool, const std::vector<std::string> &args)
{
    char trace_path[] = "/tmp/e2e-trace-XXXXXX";
    const int trace_fd = mkstemp(trace_path);
    if (trace_fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(trace_fd);

    std::vector<std::string> argv{USBSIM_PATH, "-t", trace_path};
    for (const auto &device : setup.devices) {
        argv.push_back("-d");
        argv.push_back(device_file(device));
    }
    argv.insert(argv.end(), setup.options.begin(), setup.options.end());
    argv.push_back("--");
    for (const auto &word : wrapper())
        argv.push_back(word);
    argv.push_back(tool_path(tool));
    argv.insert(argv.end(), args.begin(), args.end());

    std::vector<char *> cargv;
    for (auto &word : argv)
        cargv.push_back(word.data());
    cargv.push_back(nullptr);

    const bool piped = setup.output == Output::Pipe || setup.output == Output::FirstLine;
    int out_pipe[2] = {-1, -1}, err_pipe[2];
    if ((piped && pipe2(out_pipe, O_CLOEXEC) != 0) || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    char out_path[] = "/tmp/e2e-out-XXXXXX";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (piped) {
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    } else if (setup.output == Output::File) {
        const int out_fd = mkstemp(out_path);
        if (out_fd < 0)
            throw std::runtime_error("mkstemp failed");
        close(out_fd);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // What a real host gives a new process, whatever this test process has.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, cargv[0], &actions, &attr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (piped)
        close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0)
        throw std::runtime_error("cannot start usbsim");

    bool signalled = false;
    std::function<void()> tick;
    if (!setup.signal_at.empty())
        tick = [&] {
            if (!signalled && has_line(trace_path, setup.signal_at)) {
                kill(pid, setup.signal);
                signalled = true;
            }
        };
    Run result;
    drain(out_pipe[0], err_pipe[0], setup.output == Output::FirstLine, tick, result.out, result.err);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);

    if (setup.output == Output::File) {
        std::ifstream out(out_path, std::ios::binary);
        result.out.assign(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
        unlink(out_path);
    }
    std::ifstream trace(trace_path);
    for (std::string line; std::getline(trace, line);)
        result.trace.push_back(line);
    unlink(trace_path);
    return result;
}

std::vector<std::string> events(const Run &run, const std::vector<std::string> &prefixes)
{
    std::vector<std::string> found;
    for (const auto &line : run.trace)
        for (const auto &prefix : prefixes)
            if (starts_with(line, prefix)) {
                found.push_back(line);
                break;
            }
    return found;
}

std::vector<std::string> resets(const Run &run)
{
    std::vector<std::string> nodes;
    for (const auto &line : events(run, {"usb_reset"}))
        nodes.push_back(node_of(line));
    return nodes;
}

std::string open_close_problem(const Run &run)
{
    std::string open_node;
    for (const auto &line : events(run, {"usb_open", "usb_close"})) {
        const bool is_open = starts_with(line, "usb_open");
        if (is_open && line.ends_with("= NULL"))
            continue;
        if (is_open) {
            if (!open_node.empty())
                return "opened " + node_of(line) + " while " + open_node + " was open";
            open_node = node_of(line);
        } else {
            if (open_node != node_of(line))
                return "closed " + node_of(line) + " while " +
                       (open_node.empty() ? std::string("nothing") : open_node) + " was open";
            open_node.clear();
        }
    }
    return open_node.empty() ? "" : open_node + " left open";
}

std::string unexpected_line(const std::string &tool, const std::string &out)
{
    static const std::regex portcycle_line{
        "[0-9]+ found [0-9a-f]{4}:[0-9a-f]{4}|"
        "Resetting ELO Device 04e7:00(09|30) [0-9a-f]{4} [ -~]*|"
        "reset rc = -?[0-9]+"};
    static const std::regex hubsurvey_line{
        "H[0-9]+ (DXA 04b3:467[67]|DXB 04b3:467[89]|TXC 04e7:00(09|30)) [0-9a-f]{4} [ -~]*"};
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const bool ok = (tool != "hubsurvey" && std::regex_match(line, portcycle_line)) ||
                        (tool != "portcycle" && std::regex_match(line, hubsurvey_line));
        if (!ok)
            return line;
    }
    if (!out.empty() && out.back() != '\n')
        return "(no newline at the end)";
    return "";
}

std::string without_serials(const std::string &out)
{
    static const std::regex serial{"^((H[0-9]+ [A-Z]{3}|Resetting ELO Device) [0-9a-f:]{9} [0-9a-f]{4} ).*$",
                                   std::regex::multiline};
    return std::regex_replace(out, serial, "$1");
}

std::string lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const auto &line : lines)
        text += line + '\n';
    return text;
}

} // namespace e2e

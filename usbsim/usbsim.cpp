// SPDX-License-Identifier: GPL-2.0-or-later
/* usbsim -- run a program against emulated USB devices described in umockdev's format */
#include "access.h"
#include "model.h"
#include "snapshot.h"

#include <umockdev.h>

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern char **environ;

namespace {

// usbsim's own failures; the command's status is passed on unchanged.
constexpr int kExitUsbsimError = 125;
constexpr int kExitCannotRun = 127;
constexpr int kExitSignalBase = 128;

// The host's USB device directories that a run must never reach.
constexpr const char *kHostUsbDirs[] = {"/dev/bus/usb", "/proc/bus/usb"};

constexpr const char *kUsage =
    "Usage: usbsim [OPTIONS] -d FILE [-d FILE ...] -- COMMAND [ARG...]\n"
    "Run COMMAND against emulated USB devices; the host's own USB devices stay hidden.\n"
    "\n"
    "  -d, --device FILE          load a device description in umockdev's recording format\n"
    "                             (what umockdev-record writes); repeatable\n"
    "  -t, --trace FILE           write the event trace to FILE (truncate)\n"
    "      --real-time            really sleep the pauses (they are still traced)\n"
    "      --view full|eperm|no-ioctl\n"
    "                             full (default): answer ioctls as the kernel does for root;\n"
    "                             eperm: every ioctl fails with EPERM (a non-root user);\n"
    "                             no-ioctl: usbsim answers none, umockdev's defaults\n"
    "                             In every view an ioctl on a node opened read-only fails\n"
    "                             with EPERM, as the kernel refuses it\n"
    "      --order sorted|reversed\n"
    "                             readdir order of /dev/bus/usb and its bus directories\n"
    "      --string-fault NODE=stall|timeout\n"
    "                             string descriptor reads of NODE fail (EPIPE / ETIMEDOUT);\n"
    "                             a string URB stalls, or never completes until the client\n"
    "                             discards it when its own timer runs out (a real wait)\n"
    "      --reset-fault NODE=ERRNO\n"
    "                             USBDEVFS_RESET on NODE fails with ERRNO (EIO, ENODEV, 5...)\n"
    "      --gone-after-reset NODE\n"
    "                             after its reset, every ioctl on NODE fails with ENODEV\n"
    "      --open-fails NODE      usb_open() of NODE returns NULL\n"
    "      --port-devnum HUB:PORT=DEVNUM\n"
    "                             port PORT (1-based) of HUB names DEVNUM instead\n"
    "      --drop-node NODE       the device stays in sysfs but gets no /dev node\n"
    "      --udev-rules FILE      give each device node the owner, group and mode that the\n"
    "                             udev rules in FILE assign (udevadm test decides; root only);\n"
    "                             without it every node is root:root 0664, as on Debian\n"
    "      --as UID:GID[,GID...]  run COMMAND as user UID with primary group GID and the\n"
    "                             supplementary groups listed after it (root only)\n"
    "  -h, --help                 show this text\n"
    "\n"
    "NODE and HUB are BUS/DEV as in the trace, e.g. 001/005. Faults can be combined.\n"
    "Clients of libusb 0.1.12 and of libusb-1.0 both work: the ioctls libusb-1.0 issues\n"
    "at open, and control transfers on endpoint 0 as URBs (so lsusb -v reads strings).\n"
    "The exit status is COMMAND's (128+N if it died of signal N), 125 for usbsim's own\n"
    "errors, 126 or 127 when COMMAND cannot be run or found. Pauses of COMMAND (usleep,\n"
    "nanosleep, sleep...) return at once unless --real-time.\n"
    "\n"
    "Replay a recording of your own machine:\n"
    "  umockdev-record /dev/bus/usb/*/* > mydump.umockdev\n"
    "  usbsim -d mydump.umockdev -- hubsurvey\n";

struct PortOverride {
    std::string hub;
    unsigned port;
    unsigned devnum;
};

struct Options {
    std::vector<std::string> files;
    std::string trace;
    bool real_time = false;
    usbsim::View view = usbsim::View::Full;
    bool reversed = false;
    std::vector<std::pair<std::string, int>> string_faults, reset_faults;
    std::vector<std::string> gone_after_reset, open_fails, drop_nodes;
    std::vector<PortOverride> port_devnums;
    std::string udev_rules;
    bool as_user = false;
    uid_t uid = 0;
    std::vector<gid_t> gids; // the primary group first
    std::vector<char *> command;
};

struct GObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// The testbed, removed again when usbsim stops early.
UMockdevTestbed *g_testbed = nullptr;

// The janitor (see start_janitor): its process and the write end of its pipe.
volatile sig_atomic_t g_janitor_pid = -1;
volatile sig_atomic_t g_janitor_fd = -1;

// Closes the janitor's pipe and waits until the janitor has removed the
// testbed directory and ended. Async-signal-safe; later calls do nothing.
void finish_janitor()
{
    if (g_janitor_fd >= 0) {
        close(g_janitor_fd);
        g_janitor_fd = -1;
    }
    if (g_janitor_pid > 0) {
        while (waitpid(g_janitor_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        g_janitor_pid = -1;
    }
}

// Prints "usbsim: MESSAGE" on stderr and exits with usbsim's error status.
[[noreturn]] void die(const std::string &message)
{
    std::fprintf(stderr, "usbsim: %s\n", message.c_str());
    if (g_testbed != nullptr)
        g_object_unref(g_testbed);
    finish_janitor();
    std::exit(kExitUsbsimError);
}

// The signals that end usbsim and, while it runs, are handed on to the command.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Returns which of descriptors 0, 1 and 2 were closed at start, after
// opening /dev/null on each of them: held so, they keep usbsim's own files
// (trace, glib, testbed) off those numbers, and run() closes them again
// for the command. Exits if /dev/null cannot be opened.
std::vector<int> hold_closed_standard_fds()
{
    std::vector<int> closed;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            closed.push_back(fd);
    for (const int fd : closed) {
        const int null_fd = open("/dev/null", O_RDWR); // the lowest free number: `fd`
        if (null_fd < 0)
            die(std::string("cannot open /dev/null: ") + std::strerror(errno));
        if (null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    return closed;
}

// Starts the janitor, a child that removes the testbed directory once
// usbsim is gone, whatever ended it (a signal, a crash, an abort inside
// umockdev): it reads the directory's path from a pipe (tell_janitor) and
// removes the directory when the pipe's write end closes. Call while usbsim
// has a single thread; exits on failure.
void start_janitor()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        die(std::string("cannot create a pipe: ") + std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0)
        die(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        // The janitor outlives usbsim: the signals of a terminal's process
        // group or of a supervisor must not end it first.
        for (const int sig : kEndingSignals)
            signal(sig, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        const int null_fd = open("/dev/null", O_RDWR);
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
            dup2(null_fd, fd); // keeps no reader of usbsim's output waiting
        dup2(fds[0], 3);
        close_range(4, ~0U, 0);
        std::string path;
        char buf[4096];
        for (ssize_t n; (n = read(3, buf, sizeof buf)) != 0;) {
            if (n > 0)
                path.append(buf, static_cast<std::size_t>(n));
            else if (errno != EINTR)
                break;
        }
        // Only the directory usbsim named, and only one of umockdev's.
        const std::filesystem::path dir = path;
        std::error_code ec;
        if (dir.is_absolute() && dir.filename().string().starts_with("umockdev."))
            std::filesystem::remove_all(dir, ec); // what cannot be removed stays: nobody to tell
        _exit(0);
    }
    close(fds[0]);
    g_janitor_pid = pid;
    g_janitor_fd = fds[1];
}

// Hands the testbed directory `root` to the janitor; exits on failure.
void tell_janitor(const std::string &root)
{
    for (std::size_t done = 0; done < root.size();) {
        const ssize_t n = write(g_janitor_fd, root.data() + done, root.size() - done);
        if (n < 0 && errno != EINTR)
            die(std::string("cannot reach the janitor: ") + std::strerror(errno));
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

// The thread that handles the ending signals outside the command's run.
pthread_t g_main_thread;

// Signal handler outside the command's run: removes the testbed through the
// janitor and ends usbsim by the same signal. Runs on the main thread only,
// so that nothing adds to the testbed while it goes.
void remove_testbed_and_die(int sig)
{
    if (!pthread_equal(pthread_self(), g_main_thread)) {
        pthread_kill(g_main_thread, sig);
        return;
    }
    finish_janitor();
    struct sigaction default_action{};
    default_action.sa_handler = SIG_DFL;
    sigaction(sig, &default_action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(kExitSignalBase + sig);
}

// Lets the ending signals call `handler`.
void on_ending_signals(void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (const int sig : kEndingSignals)
        sigaction(sig, &action, nullptr);
}

// Blocks (`how` SIG_BLOCK) or unblocks (SIG_UNBLOCK) the ending signals in
// the calling thread.
void mask_ending_signals(int how)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals)
        sigaddset(&set, sig);
    pthread_sigmask(how, &set, nullptr);
}

// True when `text` is BUS/DEV with three digits each.
bool is_node(const std::string &text)
{
    if (text.size() != 7 || text[3] != '/')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != 3 && (text[i] < '0' || text[i] > '9'))
            return false;
    return true;
}

// Splits "NODE=VALUE" for option `option`; exits on a malformed argument.
std::pair<std::string, std::string> node_value(const char *option, const std::string &arg)
{
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos || !is_node(arg.substr(0, eq)))
        die(std::string("--") + option + ": expected BUS/DEV=VALUE, got '" + arg + "'");
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// Returns `arg` if it is BUS/DEV; exits naming `option` otherwise.
std::string checked_node(const char *option, const std::string &arg)
{
    if (!is_node(arg))
        die(std::string("--") + option + ": expected BUS/DEV, got '" + arg + "'");
    return arg;
}

// Returns the decimal number `text`, or -1 when it is not one.
long parse_number(const std::string &text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::strtol(text.c_str(), nullptr, 10);
}

// Parses --as UID:GID[,GID...]; exits on a malformed argument.
void parse_user(const std::string &arg, Options &opts)
{
    const auto bad = [&arg] { die("--as: expected UID:GID[,GID...], got '" + arg + "'"); };
    const std::size_t colon = arg.find(':');
    if (colon == std::string::npos)
        bad();
    const auto id = [&bad](const std::string &text) {
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
            bad();
        return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    };
    opts.uid = id(arg.substr(0, colon));
    std::string groups = arg.substr(colon + 1) + ",";
    for (std::size_t start = 0, comma; (comma = groups.find(',', start)) != std::string::npos; start = comma + 1)
        opts.gids.push_back(id(groups.substr(start, comma - start)));
    opts.as_user = true;
}

// Parses the command line; exits with usage errors.
Options parse_options(int argc, char **argv)
{
    enum { kRealTime = 256, kView, kOrder, kStringFault, kResetFault, kGoneAfterReset, kOpenFails,
           kPortDevnum, kDropNode, kUdevRules, kAs };
    static const option kLong[] = {
        {"device", required_argument, nullptr, 'd'},
        {"trace", required_argument, nullptr, 't'},
        {"real-time", no_argument, nullptr, kRealTime},
        {"view", required_argument, nullptr, kView},
        {"order", required_argument, nullptr, kOrder},
        {"string-fault", required_argument, nullptr, kStringFault},
        {"reset-fault", required_argument, nullptr, kResetFault},
        {"gone-after-reset", required_argument, nullptr, kGoneAfterReset},
        {"open-fails", required_argument, nullptr, kOpenFails},
        {"port-devnum", required_argument, nullptr, kPortDevnum},
        {"drop-node", required_argument, nullptr, kDropNode},
        {"udev-rules", required_argument, nullptr, kUdevRules},
        {"as", required_argument, nullptr, kAs},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options opts;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+:d:t:h", kLong, nullptr)) != -1;) {
        const std::string arg = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'd': opts.files.push_back(arg); break;
        case 't': opts.trace = arg; break;
        case kRealTime: opts.real_time = true; break;
        case kView:
            if (arg == "full") opts.view = usbsim::View::Full;
            else if (arg == "eperm") opts.view = usbsim::View::Eperm;
            else if (arg == "no-ioctl") opts.view = usbsim::View::NoIoctl;
            else die("--view: expected full, eperm or no-ioctl, got '" + arg + "'");
            break;
        case kOrder:
            if (arg != "sorted" && arg != "reversed")
                die("--order: expected sorted or reversed, got '" + arg + "'");
            opts.reversed = arg == "reversed";
            break;
        case kStringFault: {
            auto [node, kind] = node_value("string-fault", arg);
            if (kind != "stall" && kind != "timeout")
                die("--string-fault: expected stall or timeout, got '" + kind + "'");
            opts.string_faults.emplace_back(node, kind == "stall" ? EPIPE : ETIMEDOUT);
            break;
        }
        case kResetFault: {
            auto [node, name] = node_value("reset-fault", arg);
            const int err = usbsim::parse_errno(name);
            if (err == 0)
                die("--reset-fault: unknown errno '" + name + "'");
            opts.reset_faults.emplace_back(node, err);
            break;
        }
        case kGoneAfterReset: opts.gone_after_reset.push_back(checked_node("gone-after-reset", arg)); break;
        case kOpenFails: opts.open_fails.push_back(checked_node("open-fails", arg)); break;
        case kDropNode: opts.drop_nodes.push_back(checked_node("drop-node", arg)); break;
        case kUdevRules: opts.udev_rules = arg; break;
        case kAs: parse_user(arg, opts); break;
        case kPortDevnum: {
            const std::size_t colon = arg.find(':');
            const std::size_t eq = arg.find('=');
            const long port = colon < eq && eq != std::string::npos ? parse_number(arg.substr(colon + 1, eq - colon - 1)) : -1;
            const long devnum = eq != std::string::npos ? parse_number(arg.substr(eq + 1)) : -1;
            if (colon == std::string::npos || !is_node(arg.substr(0, colon)) || port < 1 || devnum < 0 || devnum > 127)
                die("--port-devnum: expected BUS/DEV:PORT=DEVNUM, got '" + arg + "'");
            opts.port_devnums.push_back({arg.substr(0, colon), static_cast<unsigned>(port), static_cast<unsigned>(devnum)});
            break;
        }
        case 'h':
            std::fputs(kUsage, stdout);
            std::exit(0);
        case ':': die(std::string("option ") + argv[optind - 1] + " needs an argument");
        default: die(std::string("unknown option ") + argv[optind - 1] + " (see usbsim --help)");
        }
    }
    if (opts.files.empty())
        die("no device description given (-d FILE; see usbsim --help)");
    if (optind >= argc)
        die("no command given (usbsim [OPTIONS] -d FILE -- COMMAND; see usbsim --help)");
    if (opts.as_user && geteuid() != 0)
        die("--as needs root: only root may run COMMAND as another user");
    if (!opts.udev_rules.empty() && geteuid() != 0)
        die("--udev-rules needs root: udevadm test runs in a private mount namespace");
    opts.command.assign(argv + optind, argv + argc);
    opts.command.push_back(nullptr);
    return opts;
}

// Writes `text` to a /proc file of this process; returns false on failure.
bool write_proc(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Enters a private mount namespace (with a user namespace if not root)
// keeping this process's user and group ids.
bool enter_private_mounts()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0 && unshare(CLONE_NEWNS) == 0)
        return true;
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    write_proc("/proc/self/setgroups", "deny");
    return write_proc("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           write_proc("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// Hides the host's USB device directories behind empty tmpfs mounts in a
// mount namespace of this process and its children; exits if impossible.
void hide_host_usb()
{
    std::vector<const char *> present;
    for (const char *dir : kHostUsbDirs) {
        struct stat st{};
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
            present.push_back(dir);
    }
    if (present.empty())
        return;
    if (!enter_private_mounts())
        die(std::string("cannot hide the host's USB devices (no private mount namespace): ") + std::strerror(errno));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die(std::string("cannot make the mounts private: ") + std::strerror(errno));
    for (const char *dir : present)
        if (mount("usbsim", dir, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=4k,mode=0755") != 0)
            die(std::string("cannot hide ") + dir + ": " + std::strerror(errno));
}

// Drops glib's and umockdev's log messages: usbsim reports its own errors.
GLogWriterOutput drop_log(GLogLevelFlags, const GLogField *, gsize, gpointer)
{
    return G_LOG_WRITER_HANDLED;
}

// Returns the preload library path: $USBSIM_PRELOAD, else the build's.
std::string preload_path()
{
    const char *env = std::getenv("USBSIM_PRELOAD");
    return env != nullptr && *env != '\0' ? env : USBSIM_PRELOAD_PATH;
}

// Returns the preload library as the command's user can load it: where it
// was built, or, for --as, a copy in the testbed, which that user can reach
// (a build tree may not be). Exits when it cannot be copied.
std::string preload_for_command(const Options &opts, const std::string &root)
{
    if (!opts.as_user)
        return preload_path();
    const std::string copy = root + "/usbsim/preload.so";
    std::error_code ec;
    std::filesystem::copy_file(preload_path(), copy, ec);
    if (!ec)
        std::filesystem::permissions(copy, std::filesystem::perms(0755), ec);
    if (ec)
        die("cannot copy the preload library into the testbed: " + ec.message());
    return copy;
}

// Returns the command's environment: ours plus what umockdev and the
// preload need.
std::vector<std::string> command_environment(const Options &opts, const std::string &root,
                                             const std::string &preload_library, const std::string &model,
                                             int trace_fd)
{
    std::vector<std::string> env;
    static const char *const kReplaced[] = {"LD_PRELOAD=", "UMOCKDEV_DIR=", "USB_DEVFS_PATH=", "USBSIM_TRACE_FD=",
                                            "USBSIM_REAL_TIME=", "USBSIM_OPEN_FAILS=", "USBSIM_ORDER=",
                                            "USBSIM_MODEL=", "ASAN_OPTIONS="};
    // Ours first: what it passes on with dlsym(RTLD_NEXT) reaches umockdev's
    // path redirection.
    std::string preload = preload_library + ":libumockdev-preload.so.0";
    // A command built with AddressSanitizer would refuse to start behind
    // preloaded libraries; neither of ours replaces malloc.
    std::string asan_options = "verify_asan_link_order=0";
    for (char **var = environ; *var != nullptr; ++var) {
        const std::string entry = *var;
        if (entry.rfind("LD_PRELOAD=", 0) == 0 && entry.size() > 11)
            preload += ":" + entry.substr(11);
        if (entry.rfind("ASAN_OPTIONS=", 0) == 0 && entry.size() > 13)
            asan_options = entry.substr(13) + ":" + asan_options;
        bool replaced = false;
        for (const char *prefix : kReplaced)
            replaced = replaced || entry.rfind(prefix, 0) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    std::string open_fails;
    for (const std::string &node : opts.open_fails)
        open_fails += (open_fails.empty() ? "" : ",") + node;
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + root);
    env.push_back("USB_DEVFS_PATH=/dev/bus/usb");
    env.push_back("USBSIM_MODEL=" + model);
    env.push_back("ASAN_OPTIONS=" + asan_options);
    env.push_back(std::string("USBSIM_ORDER=") + (opts.reversed ? "reversed" : "sorted"));
    if (trace_fd >= 0)
        env.push_back("USBSIM_TRACE_FD=" + std::to_string(trace_fd));
    if (opts.real_time)
        env.push_back("USBSIM_REAL_TIME=1");
    if (!open_fails.empty())
        env.push_back("USBSIM_OPEN_FAILS=" + open_fails);
    return env;
}

// Returns the device whose node is `node`; exits naming `option` if none.
usbsim::Device &device_at(std::vector<usbsim::Device> &devices, const std::string &node, const char *option)
{
    for (usbsim::Device &dev : devices)
        if (dev.node == node)
            return dev;
    die(std::string("--") + option + ": no device node " + node + " in the descriptions");
}

// Applies the fault options to the loaded devices; exits on unknown nodes.
void apply_faults(const Options &opts, std::vector<usbsim::Device> &devices, const std::string &root)
{
    for (const auto &[node, err] : opts.string_faults)
        device_at(devices, node, "string-fault").faults.string_errno = err;
    for (const auto &[node, err] : opts.reset_faults)
        device_at(devices, node, "reset-fault").faults.reset_errno = err;
    for (const std::string &node : opts.gone_after_reset)
        device_at(devices, node, "gone-after-reset").faults.gone_after_reset = true;
    for (const std::string &node : opts.open_fails)
        device_at(devices, node, "open-fails");
    for (const PortOverride &o : opts.port_devnums) {
        usbsim::Device &hub = device_at(devices, o.hub, "port-devnum");
        if (o.port > hub.ports.size())
            die("--port-devnum: " + o.hub + " has " + std::to_string(hub.ports.size()) + " ports, not " +
                std::to_string(o.port));
        hub.ports[o.port - 1] = o.devnum;
    }
    for (const std::string &node : opts.drop_nodes) {
        usbsim::Device &dev = device_at(devices, node, "drop-node");
        std::error_code ec;
        if (!std::filesystem::remove(root + "/dev/bus/usb/" + node, ec))
            die("--drop-node: cannot remove " + node + " from the testbed");
        dev.node.clear();
    }
}

// Ends the string attributes of every device (manufacturer, product,
// serial) with a newline, as the kernel writes them: recordings keep them
// without one, and programs that read sysfs themselves (lsusb) cut the last
// character off. Exits on failure.
void end_strings_with_newline(const std::vector<usbsim::Device> &devices, const std::string &root)
{
    for (const usbsim::Device &dev : devices) {
        for (const char *name : {"manufacturer", "product", "serial"}) {
            const std::string path = root + "/sys/bus/usb/devices/" + dev.sysname + "/" + name;
            struct stat st{};
            if (stat(path.c_str(), &st) != 0 || st.st_size == 0)
                continue;
            const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
            char last = '\n';
            const bool ok = fd >= 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && (last == '\n' || write(fd, "\n", 1) == 1);
            if (fd >= 0)
                close(fd);
            if (!ok)
                die("cannot complete " + path);
        }
    }
}

// Writes the devices and the view into the testbed for the command's
// processes to answer from; returns the file's path, exits on failure.
std::string write_model(const Options &opts, std::vector<usbsim::Device> devices, const std::string &root)
{
    // Every process of the command, whatever its user, leaves the state of
    // the devices here (a device gone after its reset).
    const std::string dir = root + "/usbsim";
    if (mkdir(dir.c_str(), 0755) != 0 || chmod(dir.c_str(), 01777) != 0)
        die("cannot create " + dir + ": " + std::strerror(errno));
    const std::string path = dir + "/model";
    const std::string text = usbsim::write_snapshot({opts.view, std::move(devices)});
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    if (!ok)
        die("cannot write " + path);
    return path;
}

// The running command, to which usbsim passes on the signals that would end it.
volatile sig_atomic_t g_command_pid = 0;

// Signal handler: hands the signal on to the command.
void forward_signal(int sig)
{
    if (g_command_pid > 0)
        kill(static_cast<pid_t>(g_command_pid), sig);
}

// In the forked command before exec: gives it what a real host gives a new
// process, whatever usbsim inherited or set up for itself (glib ignores
// SIGPIPE): the default action for every signal, an empty signal mask, and
// the standard descriptors in `closed_fds` closed. Async-signal-safe.
void start_as_a_host_would(const std::vector<int> &closed_fds)
{
    struct sigaction default_action{};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &default_action, nullptr); // libc's own signals refuse: nothing to reset
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int fd : closed_fds)
        close(fd);
}

// Runs the command with `env` in the testbed at `root`, with the standard
// descriptors in `closed_fds` closed, and returns its status as usbsim's
// exit status.
int run(const Options &opts, const std::string &root, const std::vector<std::string> &env,
        const std::vector<int> &closed_fds)
{
    std::vector<char *> envp;
    for (const std::string &entry : env)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        die(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (opts.as_user && (setgroups(opts.gids.size() - 1, opts.gids.data() + 1) != 0 ||
                             setgid(opts.gids.front()) != 0 || setuid(opts.uid) != 0)) {
            std::fprintf(stderr, "usbsim: cannot become %u:%u: %s\n", static_cast<unsigned>(opts.uid),
                         static_cast<unsigned>(opts.gids.front()), std::strerror(errno));
            _exit(kExitUsbsimError);
        }
        if (opts.as_user && access(root.c_str(), R_OK | X_OK) != 0) {
            std::fprintf(stderr, "usbsim: user %u cannot reach the testbed %s (set TMPDIR to a directory every user can reach)\n",
                         static_cast<unsigned>(opts.uid), root.c_str());
            _exit(kExitUsbsimError);
        }
        // After the change of user, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive usbsim and its testbed
        start_as_a_host_would(closed_fds);
        execvpe(opts.command[0], opts.command.data(), envp.data());
        const int err = errno;
        std::fprintf(stderr, "usbsim: cannot run %s: %s\n", opts.command[0], std::strerror(err));
        _exit(err == ENOENT ? kExitCannotRun : kExitCannotRun - 1);
    }
    g_command_pid = pid;
    on_ending_signals(forward_signal);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            die(std::string("cannot wait for the command: ") + std::strerror(errno));
    g_command_pid = 0;
    on_ending_signals(remove_testbed_and_die);
    if (WIFSIGNALED(status))
        return kExitSignalBase + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Exits naming `file` and the device if one of `devices` (the testbed's so
// far) holds a configuration descriptor shorter than its own header:
// libusb 0.1.12 reads the rest of it with a negative length, on which
// umockdev aborts usbsim (SIGTRAP). Call after each file, so that the file
// is the culprit.
void reject_short_configurations(const std::vector<usbsim::Device> &devices, const std::string &file)
{
    for (const usbsim::Device &dev : devices)
        if (const auto total = usbsim::short_configuration(dev.descriptors))
            die(file + ": device " + dev.node + " (" + dev.sysname + ") has a configuration descriptor of " +
                std::to_string(*total) + " bytes (wTotalLength), less than its own 9-byte header");
}

// Writes "written BUS/DEV" to the trace for every device node whose content
// is no longer what was loaded: the kernel's usbfs nodes cannot be written,
// so in the testbed, where they are plain files, a write by the command
// shows as a changed file.
void trace_written_nodes(const std::vector<usbsim::Device> &devices, const std::string &root, int trace_fd)
{
    if (trace_fd < 0)
        return;
    for (const usbsim::Device &dev : devices) {
        if (dev.node.empty())
            continue;
        std::ifstream in(root + "/dev/bus/usb/" + dev.node, std::ios::binary);
        const usbsim::Bytes content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (content != dev.descriptors)
            usbsim::trace_line(trace_fd, "written " + dev.node);
    }
}

} // namespace

// Parses, hides the host's devices, builds the testbed, runs the command.
int main(int argc, char **argv)
{
    const std::vector<int> closed_fds = hold_closed_standard_fds(); // before anything takes their numbers
    const Options opts = parse_options(argc, argv);
    hide_host_usb(); // before glib starts threads: unshare needs a single thread
    start_janitor(); // the same: fork
    g_main_thread = pthread_self();
    // Until the janitor knows the testbed, the ending signals wait; glib's
    // threads, started meanwhile, keep them blocked for good.
    mask_ending_signals(SIG_BLOCK);
    on_ending_signals(remove_testbed_and_die);
    g_log_set_writer_func(drop_log, nullptr, nullptr);

    GObjectPtr<UMockdevTestbed> testbed{umockdev_testbed_new()};
    g_testbed = testbed.get();
    gchar *root_dir = umockdev_testbed_get_root_dir(testbed.get());
    const std::string root = root_dir;
    g_free(root_dir);
    // Only a SIGKILL between umockdev's mkdtemp and this line leaves the
    // directory behind: umockdev names no directory before creating it.
    tell_janitor(root);
    mask_ending_signals(SIG_UNBLOCK);

    std::vector<usbsim::Device> devices;
    for (const std::string &file : opts.files) {
        GError *error = nullptr;
        if (!umockdev_testbed_add_from_file(testbed.get(), file.c_str(), &error)) {
            const std::string message = file + ": " + (error != nullptr ? error->message : "cannot load");
            g_clear_error(&error);
            die(message);
        }
        devices = usbsim::load_devices(root);
        reject_short_configurations(devices, file);
    }
    usbsim::build_port_tables(devices);
    apply_faults(opts, devices, root);
    end_strings_with_newline(devices, root);
    {
        std::string error;
        std::map<std::string, usbsim::NodeAccess> access;
        if (!opts.udev_rules.empty())
            access = usbsim::udev_node_access(root, opts.udev_rules, devices, error);
        if (!error.empty() || !usbsim::apply_node_access(root, devices, access, error))
            die(error);
    }

    int trace_fd = -1;
    if (!opts.trace.empty()) {
        trace_fd = open(opts.trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (trace_fd < 0)
            die("cannot write the trace " + opts.trace + ": " + std::strerror(errno));
    }
    const std::string model = write_model(opts, devices, root);
    const std::string preload = preload_for_command(opts, root);
    const int status = run(opts, root, command_environment(opts, root, preload, model, trace_fd), closed_fds);
    trace_written_nodes(devices, root, trace_fd);
    if (trace_fd >= 0)
        close(trace_fd);
    g_testbed = nullptr;
    testbed.reset(); // removes the testbed
    finish_janitor();
    return status;
}

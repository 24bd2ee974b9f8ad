// SPDX-License-Identifier: GPL-2.0-or-later
// access -- owners and modes of the emulated device nodes, as udev would set them
#include "access.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace usbsim {

namespace {

// Where udev looks for rules; each is covered by an empty directory, so the
// given file is the only rule udevadm reads.
constexpr const char *kRuleDirs[] = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d",
                                     "/usr/local/lib/udev/rules.d"};
// The device nodes udevadm may need in the scratch /dev.
constexpr const char *kDevNodes[] = {"null", "zero", "full", "random", "urandom"};
// udevadm runs at most this many at a time.
constexpr std::size_t kParallelRuns = 16;
// udev's "no owner" / "no group": what an unknown name in a rule leaves.
constexpr unsigned long kInvalidId = 0xffffffffUL;

// What one udevadm child needs, prepared before the fork: after it, the
// child of this multi-threaded process may only make system calls.
struct Job {
    const Device *dev;
    std::vector<std::string> argv;
    std::vector<char *> argv_ptrs; // argv as execve takes it
    pid_t pid = -1;
    int out = -1;
};

// The paths the child mounts over and writes, all prepared in the parent.
struct Scratch {
    std::vector<std::string> rule_dirs; // those present on this host
    std::string rule_path;              // under /run/udev/rules.d
    std::string rule_text;
    std::vector<std::string> dev_nodes; // /dev/null ... and their copies
    std::vector<std::string> real_nodes;
    std::string udevadm;
    std::vector<std::string> env;
    std::vector<char *> env_ptrs; // env as execve takes it
};

// Returns the full path of `name` in $PATH and the usual system directories,
// or "" when there is none.
std::string find_program(const char *name)
{
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    dirs += ":/usr/bin:/bin:/usr/sbin:/sbin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');) {
        if (dir.empty())
            continue;
        const std::string path = dir + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

// Child: sets up the private mounts and runs udevadm; never returns.
[[noreturn]] void run_udevadm(const Scratch &s, const Job &job, int out)
{
    const auto fail = [] { _exit(126); };
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail();
    for (const std::string &dir : s.rule_dirs)
        if (mount("usbsim", dir.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=4k,mode=0755") != 0)
            fail();
    // udevadm writes its database below /run and links below /dev: both
    // scratch, so that the host's never change.
    if (mount("usbsim", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0 ||
        mkdir("/run/udev", 0755) != 0 || mkdir("/run/udev/rules.d", 0755) != 0 || mkdir("/run/usbsim-dev", 0755) != 0 ||
        mount("/dev", "/run/usbsim-dev", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        mount("usbsim", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        fail();
    for (std::size_t i = 0; i < s.dev_nodes.size(); ++i) {
        const int fd = open(s.dev_nodes[i].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || close(fd) != 0 || mount(s.real_nodes[i].c_str(), s.dev_nodes[i].c_str(), nullptr, MS_BIND, nullptr) != 0)
            fail();
    }
    const int rule = open(s.rule_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (rule < 0 || write(rule, s.rule_text.data(), s.rule_text.size()) != static_cast<ssize_t>(s.rule_text.size()))
        fail();
    close(rule);

    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
        fail();
    execve(s.udevadm.c_str(), job.argv_ptrs.data(), s.env_ptrs.data());
    _exit(127);
}

// Returns pointers to the strings of `words`, ending in a null pointer.
std::vector<char *> c_strings(std::vector<std::string> &words)
{
    std::vector<char *> pointers;
    for (std::string &word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads `fd` to its end and closes it.
std::string read_all(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

// Takes the assignments that udevadm reports for `sysname` from its output
// ("1-1.3: /run/udev/rules.d/x.rules:20 GROUP 46"); the last one of each
// kind wins, as in udev.
NodeAccess assignments(const std::string &output, const std::string &sysname, const std::string &rule_path)
{
    NodeAccess access;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string who, where, key, value, extra;
        if (!(words >> who >> where >> key >> value) || (words >> extra) || who != sysname + ":" ||
            where.rfind(rule_path + ":", 0) != 0 || value.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned long number = std::strtoul(value.c_str(), nullptr, key == "MODE" ? 8 : 10);
        if (key == "MODE")
            access.mode = static_cast<mode_t>(number & 07777);
        else if (key == "OWNER")
            access.owner = number == kInvalidId ? 0 : static_cast<uid_t>(number);
        else if (key == "GROUP")
            access.group = number == kInvalidId ? 0 : static_cast<gid_t>(number);
    }
    return access;
}

} // namespace

std::map<std::string, NodeAccess> udev_node_access(const std::string &root, const std::string &rules_file,
                                                   const std::vector<Device> &devices, std::string &error)
{
    std::map<std::string, NodeAccess> result;
    Scratch s;
    std::ifstream in(rules_file, std::ios::binary);
    if (!in) {
        error = "--udev-rules: cannot read " + rules_file;
        return {};
    }
    s.rule_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string name = rules_file.substr(rules_file.find_last_of('/') + 1);
    if (!name.ends_with(".rules"))
        name += ".rules"; // udev reads no other files
    s.rule_path = "/run/udev/rules.d/" + name;
    for (const char *dir : kRuleDirs) {
        struct stat st{};
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
            s.rule_dirs.emplace_back(dir);
    }
    for (const char *node : kDevNodes) {
        s.dev_nodes.push_back(std::string("/dev/") + node);
        s.real_nodes.push_back(std::string("/run/usbsim-dev/") + node);
    }
    s.udevadm = find_program("udevadm");
    if (s.udevadm.empty()) {
        error = "--udev-rules: udevadm not found (Debian package udev)";
        return {};
    }
    s.env = {"LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + root, "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    s.env_ptrs = c_strings(s.env);

    std::vector<Job> jobs;
    for (const Device &dev : devices) {
        if (dev.node.empty())
            continue;
        jobs.push_back({&dev, {"udevadm", "test", "--action=add", "/sys/bus/usb/devices/" + dev.sysname}, {}});
    }
    for (Job &job : jobs) // once the jobs stay where they are
        job.argv_ptrs = c_strings(job.argv);

    for (std::size_t first = 0; first < jobs.size(); first += kParallelRuns) {
        const std::size_t last = std::min(jobs.size(), first + kParallelRuns);
        for (std::size_t i = first; i < last; ++i) {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) {
                error = std::string("--udev-rules: cannot make a pipe: ") + std::strerror(errno);
                break;
            }
            jobs[i].pid = fork();
            if (jobs[i].pid == 0)
                run_udevadm(s, jobs[i], fds[1]);
            close(fds[1]);
            jobs[i].out = fds[0];
            if (jobs[i].pid < 0) {
                close(fds[0]);
                error = std::string("--udev-rules: cannot fork: ") + std::strerror(errno);
                break;
            }
        }
        for (std::size_t i = first; i < last; ++i) {
            if (jobs[i].pid < 0)
                continue;
            const std::string output = read_all(jobs[i].out);
            int status = 0;
            while (waitpid(jobs[i].pid, &status, 0) < 0 && errno == EINTR) {
            }
            const Device &dev = *jobs[i].dev;
            if (!error.empty())
                continue;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::string last_line = output.substr(0, output.find_last_not_of('\n') + 1);
                last_line = last_line.substr(last_line.find_last_of('\n') + 1);
                error = "--udev-rules: udevadm test failed on " + dev.sysname +
                        (WIFEXITED(status) && WEXITSTATUS(status) == 126 ? " (cannot set up its mounts)"
                                                                          : ": " + last_line);
            } else if (output.find("Reading rules file: " + s.rule_path) == std::string::npos) {
                error = "--udev-rules: udevadm did not read " + rules_file;
            } else {
                result[dev.node] = assignments(output, dev.sysname, s.rule_path);
            }
        }
        if (!error.empty())
            return {};
    }
    return result;
}

bool apply_node_access(const std::string &root, const std::vector<Device> &devices,
                       const std::map<std::string, NodeAccess> &access, std::string &error)
{
    // umockdev makes its testbed private to its creator (0700).
    if (chmod(root.c_str(), 0755) != 0) {
        error = "cannot make the testbed readable: " + std::string(std::strerror(errno));
        return false;
    }
    // umockdev connects every opened node to its sockets below ioctl/;
    // like the kernel, they serve every user: the nodes' modes decide.
    std::error_code ec;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root + "/ioctl", ec)) {
        if (entry.is_socket(ec) && chmod(entry.path().c_str(), 0666) != 0) {
            error = "cannot open " + entry.path().string() + " to every user: " + std::strerror(errno);
            return false;
        }
    }
    const bool may_chown = geteuid() == 0;
    for (const Device &dev : devices) {
        if (dev.node.empty())
            continue;
        const auto found = access.find(dev.node);
        const NodeAccess node = found != access.end() ? found->second : NodeAccess{};
        const std::string path = root + "/dev/bus/usb/" + dev.node;
        if ((may_chown && chown(path.c_str(), node.owner, node.group) != 0) || chmod(path.c_str(), node.mode) != 0) {
            error = "cannot set the owner and mode of " + dev.node + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace usbsim

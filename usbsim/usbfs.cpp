// SPDX-License-Identifier: GPL-2.0-or-later
/* usbsim preload, usbfs part -- answers the ioctls of the emulated device nodes in the command's own process */
// Loaded ahead of libumockdev-preload.so.0, so that calls this library
// passes on with dlsym(RTLD_NEXT) still reach umockdev's path redirection.
// The answers come from the snapshot usbsim wrote ($USBSIM_MODEL), loaded
// once per process at the first ioctl on an emulated node. A device that
// a reset makes disappear leaves a marker file beside the snapshot, so that
// every process of the command sees it gone, as it would on a real bus.
#include "emulator.h"
#include "snapshot.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

namespace {

// The model every process of the command answers from.
struct Emulation {
    usbsim::Snapshot snapshot;
    std::unordered_map<std::string, usbsim::Device *> by_node; // "001/005"
    std::string state_dir;                                       // the snapshot's directory
};

pthread_mutex_t g_usbfs_lock = PTHREAD_MUTEX_INITIALIZER;
// Loaded once and kept for the life of the process (never freed: other
// threads may still answer ioctls while it exits).
Emulation *g_emulation = nullptr;
bool g_emulation_tried = false;

// Returns the next library's `name` (umockdev's, libc's), or null.
template <typename Fn>
Fn next_fn(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Returns the trace file descriptor, or -1 when no trace is written.
int trace_fd()
{
    static const int fd = [] {
        const char *text = std::getenv("USBSIM_TRACE_FD");
        return text != nullptr && *text != '\0' ? std::atoi(text) : -1;
    }();
    return fd;
}

// Returns "<testbed root>/dev/bus/usb/" with the root's symbolic links
// resolved, as /proc/self/fd shows it; empty outside a testbed.
const std::string &node_prefix()
{
    static const std::string prefix = [] {
        const char *root = std::getenv("UMOCKDEV_DIR");
        char resolved[PATH_MAX];
        if (root == nullptr || *root == '\0' || realpath(root, resolved) == nullptr)
            return std::string();
        return std::string(resolved) + "/dev/bus/usb/";
    }();
    return prefix;
}

// Returns the node name ("001/005") of the testbed device node that `fd`
// is open on, or an empty string.
std::string node_of_fd(int fd)
{
    const std::string &prefix = node_prefix();
    if (prefix.empty() || fd < 0)
        return {};
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    // The system call itself: the link's real target, past any wrapper.
    const long len = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
    if (len <= static_cast<long>(prefix.size()) || std::memcmp(path, prefix.data(), prefix.size()) != 0)
        return {};
    return std::string(path + prefix.size(), static_cast<std::size_t>(len) - prefix.size());
}

// Returns the whole content of the file at `path`, or nothing.
std::optional<std::string> read_file(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        content.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return content;
}

// Returns the model, loading it at the first call; null when there is
// none (not run by usbsim, or an unreadable snapshot). Call with the lock held.
Emulation *emulation()
{
    if (g_emulation_tried)
        return g_emulation;
    g_emulation_tried = true;
    const char *path = std::getenv("USBSIM_MODEL");
    if (path == nullptr || *path == '\0')
        return nullptr;
    const auto text = read_file(path);
    auto snapshot = text ? usbsim::read_snapshot(*text) : std::nullopt;
    if (!snapshot)
        return nullptr;
    auto *emu = new Emulation{std::move(*snapshot), {}, path};
    emu->state_dir.erase(emu->state_dir.find_last_of('/') + 1);
    for (usbsim::Device &dev : emu->snapshot.devices)
        emu->by_node.emplace(dev.node, &dev);
    g_emulation = emu;
    return emu;
}

// Returns the marker file that tells every process that `dev` is gone.
std::string gone_marker(const Emulation &emu, const usbsim::Device &dev)
{
    std::string name = dev.node;
    for (char &c : name)
        if (c == '/')
            c = '-';
    return emu.state_dir + "gone-" + name;
}

// The kernel's permission check, in every view: drivers/usb/core/devio.c
// refuses every usbfs ioctl on a descriptor opened without write access
// (no FMODE_WRITE: EPERM) before it looks at anything else.
bool kernel_permits_ioctls(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

// Answers and traces ioctl `request` on `dev`: EPERM unless `permitted`,
// else from the model. The lock is held. Returns the reply.
usbsim::Reply emulate(Emulation &emu, usbsim::Device &dev, unsigned long request, void *arg, bool permitted)
{
    if (dev.faults.gone_after_reset && !dev.gone)
        dev.gone = access(gone_marker(emu, dev).c_str(), F_OK) == 0; // a reset in another process
    std::string head = usbsim::trace_head(dev.node, request, arg);
    const bool was_gone = dev.gone;
    const usbsim::Reply reply =
        permitted ? usbsim::answer(dev, emu.snapshot.view, request, arg) : usbsim::Reply{-1, EPERM};
    if (dev.gone && !was_gone) {
        const int marker = open(gone_marker(emu, dev).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (marker >= 0)
            close(marker); // if it cannot be made, other processes still see the device
    }
    usbsim::trace_line(trace_fd(), usbsim::trace_result(std::move(head), reply));
    return reply;
}

} // namespace

extern "C" {

// ioctl: usbfs requests on the testbed's device nodes are answered here
// from the model; everything else goes on to umockdev and libc.
int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *); // every usbfs ioctl takes one pointer or none
    va_end(args);
    static const auto next = next_fn<int (*)(int, unsigned long, ...)>("ioctl");

    const std::string node = node_of_fd(fd);
    if (node.empty())
        return next(fd, request, arg);
    pthread_mutex_lock(&g_usbfs_lock);
    Emulation *emu = emulation();
    usbsim::Device *dev = nullptr;
    if (emu != nullptr) {
        const auto found = emu->by_node.find(node);
        dev = found != emu->by_node.end() ? found->second : nullptr;
    }
    const bool permitted = kernel_permits_ioctls(fd);
    if (dev == nullptr || (permitted && emu->snapshot.view == usbsim::View::NoIoctl)) {
        pthread_mutex_unlock(&g_usbfs_lock);
        return next(fd, request, arg);
    }
    const usbsim::Reply reply = emulate(*emu, *dev, request, arg, permitted);
    pthread_mutex_unlock(&g_usbfs_lock);
    if (reply.result < 0) {
        errno = reply.err;
        return -1;
    }
    return static_cast<int>(reply.result);
}

} // extern "C"

// SPDX-License-Identifier: GPL-2.0-or-later
/* usbsim preload, usbfs part -- answers the ioctls of the emulated device nodes in the command's own process */
// Loaded ahead of libumockdev-preload.so.0, so that calls this library
// passes on with dlsym(RTLD_NEXT) still reach umockdev's path redirection.
// The answers come from the snapshot usbsim wrote ($USBSIM_MODEL), loaded
// once per process at the first ioctl on an emulated node. A device that
// a reset makes disappear leaves a marker file beside the snapshot, so that
// every process of the command sees it gone, as it would on a real bus.
#include "emulator.h"
#include "preload.h"
#include "snapshot.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using usbsim::preload::next_fn;
using usbsim::preload::trace_fd;

// The model every process of the command answers from.
struct Emulation {
    usbsim::Snapshot snapshot;
    std::unordered_map<std::string, usbsim::Device *> by_node; // "001/005"
    std::string state_dir;                                       // the snapshot's directory
};

// Recursive: with it held, this library's own calls of wrapped functions
// (close) come back here.
pthread_mutex_t g_usbfs_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
// The URBs of each open descriptor of an emulated node, as the kernel keeps
// them per open file; dropped when the descriptor is closed.
std::unordered_map<int, usbsim::Urbs> *g_urbs = nullptr;
std::atomic<bool> g_any_urbs{false};
// Loaded once and kept for the life of the process (never freed: other
// threads may still answer ioctls while it exits).
Emulation *g_emulation = nullptr;
bool g_emulation_tried = false;

// Returns the testbed root with its symbolic links resolved, as
// /proc/self/fd shows it; empty outside a testbed. Never destroyed, like
// the model: other threads may still call in while the process exits.
const std::string &testbed_root()
{
    static const std::string *const root = [] {
        const char *dir = std::getenv("UMOCKDEV_DIR");
        char resolved[PATH_MAX];
        if (dir == nullptr || *dir == '\0' || realpath(dir, resolved) == nullptr)
            return new std::string();
        return new std::string(resolved);
    }();
    return *root;
}

// Returns "<testbed root>/dev/bus/usb/"; empty outside a testbed.
const std::string &node_prefix()
{
    static const std::string *const prefix =
        new std::string(testbed_root().empty() ? std::string() : testbed_root() + "/dev/bus/usb/");
    return *prefix;
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

// Returns the URBs of descriptor `fd`, created empty. The lock is held.
usbsim::Urbs &urbs_of(int fd)
{
    if (g_urbs == nullptr)
        g_urbs = new std::unordered_map<int, usbsim::Urbs>; // kept, like the model
    g_any_urbs = true;
    return (*g_urbs)[fd];
}

// Returns the emulated device that `fd` is open on, with the model, or
// null: not a testbed node, no model, or the no-ioctl view when
// `answered_only`. The lock is held.
usbsim::Device *device_of(int fd, Emulation *&emu, bool answered_only)
{
    const std::string node = node_of_fd(fd);
    if (node.empty())
        return nullptr;
    emu = emulation();
    if (emu == nullptr || (answered_only && emu->snapshot.view == usbsim::View::NoIoctl))
        return nullptr;
    const auto found = emu->by_node.find(node);
    return found != emu->by_node.end() ? found->second : nullptr;
}

// Answers and traces ioctl `request` on `dev`, open as `fd`: EPERM unless
// `permitted`, else from the model. The lock is held. Returns the reply.
usbsim::Reply emulate(Emulation &emu, usbsim::Device &dev, int fd, unsigned long request, void *arg, bool permitted)
{
    if (dev.faults.gone_after_reset && !dev.gone)
        dev.gone = access(gone_marker(emu, dev).c_str(), F_OK) == 0; // a reset in another process
    std::string head = usbsim::trace_head(dev.node, request, arg);
    const bool was_gone = dev.gone;
    const usbsim::Reply reply =
        permitted ? usbsim::answer(dev, emu.snapshot.view, request, arg, urbs_of(fd)) : usbsim::Reply{-1, EPERM};
    if (dev.gone && !was_gone) {
        const int marker = open(gone_marker(emu, dev).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (marker >= 0)
            close(marker); // if it cannot be made, other processes still see the device
    }
    if (request != USBDEVFS_REAPURB || reply.err != EAGAIN) // a reap that waits is traced once done
        usbsim::trace_line(trace_fd(), usbsim::trace_result(std::move(head), reply, request, arg));
    return reply;
}

// Waits a millisecond for another thread to complete a URB, as REAPURB
// waits in the kernel; false when a signal interrupted the wait. The
// lock is held and given up meanwhile.
bool wait_for_urb()
{
    static const auto real_nanosleep = next_fn<int (*)(const struct timespec *, struct timespec *)>("nanosleep");
    const struct timespec millisecond{0, 1'000'000};
    pthread_mutex_unlock(&g_usbfs_lock);
    const bool slept = real_nanosleep(&millisecond, nullptr) == 0;
    pthread_mutex_lock(&g_usbfs_lock);
    return slept;
}

// poll and ppoll for descriptors that may include emulated nodes: those
// are ready as the kernel's usbfs makes them (POLLOUT once a URB can be
// reaped, POLLHUP and POLLERR once the device is gone); the others go to
// `wait`, at once if an emulated one is ready. Returns poll's result.
template <typename Wait>
int poll_nodes(struct pollfd *fds, nfds_t nfds, Wait wait)
{
    std::vector<short> masks(nfds, 0);
    std::vector<bool> emulated(nfds, false);
    bool any = false, ready = false;
    pthread_mutex_lock(&g_usbfs_lock);
    for (nfds_t i = 0; i < nfds; ++i) {
        Emulation *emu = nullptr;
        const usbsim::Device *dev = fds[i].fd >= 0 ? device_of(fds[i].fd, emu, true) : nullptr;
        if (dev == nullptr)
            continue;
        const short mask = usbsim::poll_mask(*dev, emu->snapshot.view, urbs_of(fds[i].fd));
        masks[i] = static_cast<short>(mask & (fds[i].events | POLLHUP | POLLERR));
        emulated[i] = any = true;
        ready = ready || masks[i] != 0;
    }
    pthread_mutex_unlock(&g_usbfs_lock);
    if (!any)
        return wait(fds, nfds, false);

    std::vector<struct pollfd> others(fds, fds + nfds);
    for (nfds_t i = 0; i < nfds; ++i)
        if (emulated[i])
            others[i].fd = -1; // poll skips it
    const int rc = wait(others.data(), nfds, ready);
    if (rc < 0 && !ready)
        return rc;
    int count = 0;
    for (nfds_t i = 0; i < nfds; ++i) {
        fds[i].revents = emulated[i] ? masks[i] : rc < 0 ? 0 : others[i].revents;
        count += fds[i].revents != 0;
    }
    return count;
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

    pthread_mutex_lock(&g_usbfs_lock);
    Emulation *emu = nullptr;
    usbsim::Device *dev = device_of(fd, emu, false);
    const bool permitted = dev != nullptr && kernel_permits_ioctls(fd);
    if (dev == nullptr || (permitted && emu->snapshot.view == usbsim::View::NoIoctl)) {
        pthread_mutex_unlock(&g_usbfs_lock);
        return next(fd, request, arg);
    }
    usbsim::Reply reply = emulate(*emu, *dev, fd, request, arg, permitted);
    while (request == USBDEVFS_REAPURB && reply.err == EAGAIN)
        reply = wait_for_urb() ? emulate(*emu, *dev, fd, request, arg, permitted) : usbsim::Reply{-1, EINTR};
    pthread_mutex_unlock(&g_usbfs_lock);
    if (reply.result < 0) {
        errno = reply.err;
        return -1;
    }
    return static_cast<int>(reply.result);
}

// poll, with emulated nodes ready as usbfs makes them.
int poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    static const auto next = next_fn<int (*)(struct pollfd *, nfds_t, int)>("poll");
    return poll_nodes(fds, nfds, [timeout](struct pollfd *set, nfds_t n, bool at_once) {
        return next(set, n, at_once ? 0 : timeout);
    });
}

// ppoll, with emulated nodes ready as usbfs makes them.
int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask)
{
    static const auto next =
        next_fn<int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *)>("ppoll");
    return poll_nodes(fds, nfds, [timeout, sigmask](struct pollfd *set, nfds_t n, bool at_once) {
        const struct timespec zero{0, 0};
        return next(set, n, at_once ? &zero : timeout, sigmask);
    });
}

// close, dropping the URBs of the descriptor as the kernel does when the
// last reference to an open usbfs file goes.
int close(int fd)
{
    static const auto next = next_fn<int (*)(int)>("close");
    if (g_any_urbs) {
        pthread_mutex_lock(&g_usbfs_lock);
        if (g_urbs != nullptr)
            g_urbs->erase(fd);
        pthread_mutex_unlock(&g_usbfs_lock);
    }
    return next(fd);
}

// readlink: /proc/self/fd/N of a testbed node reads as the node's own path
// (/dev/bus/usb/BUS/DEV), as on a real system; libusb-1.0 finds the device
// of a descriptor it is handed this way.
ssize_t readlink(const char *path, char *buf, size_t size)
{
    static const auto next = next_fn<ssize_t (*)(const char *, char *, size_t)>("readlink");
    const ssize_t len = next(path, buf, size);
    const std::string &root = testbed_root();
    if (len <= 0 || root.empty() || std::strncmp(path, "/proc/self/fd/", 14) != 0 ||
        static_cast<std::size_t>(len) <= root.size() + 5 || std::memcmp(buf, root.data(), root.size()) != 0 ||
        std::memcmp(buf + root.size(), "/dev/", 5) != 0)
        return len;
    std::memmove(buf, buf + root.size(), static_cast<std::size_t>(len) - root.size());
    return len - static_cast<ssize_t>(root.size());
}

} // extern "C"

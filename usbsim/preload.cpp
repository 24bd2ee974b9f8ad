// SPDX-License-Identifier: GPL-2.0-or-later
/* usbsim preload -- records the pauses and libusb calls of a program run under usbsim */
// Loaded ahead of libumockdev-preload.so.0, so that what a wrapper here
// passes on with dlsym(RTLD_NEXT) still goes through umockdev's wrappers.
// Configured by usbsim through the environment: USBSIM_TRACE_FD (trace
// file, O_APPEND), USBSIM_REAL_TIME=1, USBSIM_OPEN_FAILS (comma-separated
// BUS/DEV list), USBSIM_ORDER (sorted|reversed) and UMOCKDEV_DIR. The
// usbfs ioctls are answered in usbfs.cpp.
#include "preload.h"

#include <usb.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usbsim::preload {

int trace_fd()
{
    static const int fd = [] {
        const char *text = std::getenv("USBSIM_TRACE_FD");
        return text != nullptr && *text != '\0' ? std::atoi(text) : -1;
    }();
    return fd;
}

} // namespace usbsim::preload

namespace {

using usbsim::preload::next_fn;
using usbsim::preload::trace_fd;

constexpr std::size_t kMaxHandles = 128;
constexpr std::size_t kMaxDirs = 16;
constexpr std::size_t kMaxDirEntries = 512;
constexpr std::size_t kNodeNameLen = 16;

struct OpenHandle {
    usb_dev_handle *handle;
    char name[kNodeNameLen];
};

// The entries of one directory under the testbed's dev/bus/usb, in the order
// usbsim asked for, handed out one by one by readdir.
// Other directories get a slot without entries, so that they are looked
// at only once.
struct OrderedDir {
    DIR *dir;
    bool ordered;
    std::size_t count;
    std::size_t next;
    struct dirent64 *entries;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
OpenHandle g_handles[kMaxHandles];
OrderedDir g_dirs[kMaxDirs];

// Appends one line to the trace with a single write(2).
__attribute__((format(printf, 1, 2))) void trace(const char *format, ...)
{
    const int fd = trace_fd();
    if (fd < 0)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (len < 0)
        return;
    len = std::min(len, static_cast<int>(sizeof line) - 2);
    line[len++] = '\n';
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = write(fd, line, static_cast<std::size_t>(len));
    errno = saved;
}

// True when pauses are really slept (usbsim --real-time).
bool real_time()
{
    static const bool on = [] {
        const char *text = std::getenv("USBSIM_REAL_TIME");
        return text != nullptr && std::strcmp(text, "1") == 0;
    }();
    return on;
}

// True when the caller at `address` is umockdev's preload (its usleep(0)
// after every ioctl it answers: those of the no-ioctl view), which is not
// a pause of the program.
bool called_by_umockdev(void *address)
{
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname != nullptr &&
           std::strstr(info.dli_fname, "libumockdev-preload") != nullptr;
}

// Returns `ts` in whole microseconds (0 for null or negative).
std::uint64_t timespec_us(const struct timespec *ts)
{
    if (ts == nullptr || ts->tv_sec < 0)
        return 0;
    return static_cast<std::uint64_t>(ts->tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(ts->tv_nsec) / 1000;
}

// Writes "BUS/DEV" of `dev` into `out`.
void node_name(const struct usb_device *dev, char (&out)[kNodeNameLen])
{
    if (dev == nullptr || dev->bus == nullptr)
        std::snprintf(out, sizeof out, "?");
    else
        std::snprintf(out, sizeof out, "%.3s/%.3s", dev->bus->dirname, dev->filename);
}

// True when `name` is listed in USBSIM_OPEN_FAILS.
bool open_fails(const char *name)
{
    const char *list = std::getenv("USBSIM_OPEN_FAILS");
    const std::size_t len = std::strlen(name);
    for (const char *p = list; p != nullptr && *p != '\0';) {
        const char *end = std::strchr(p, ',');
        const std::size_t item = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (item == len && std::strncmp(p, name, len) == 0)
            return true;
        p = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

// Returns the name remembered for `handle` at open ("?" if unknown); with
// `forget` the slot is freed.
void handle_name(usb_dev_handle *handle, char (&out)[kNodeNameLen], bool forget)
{
    std::snprintf(out, sizeof out, "?");
    pthread_mutex_lock(&g_lock);
    for (OpenHandle &slot : g_handles) {
        if (slot.handle == handle && handle != nullptr) {
            std::memcpy(out, slot.name, sizeof out);
            if (forget)
                slot.handle = nullptr;
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
}

// Remembers `name` for `handle` until it is closed.
void remember_handle(usb_dev_handle *handle, const char (&name)[kNodeNameLen])
{
    pthread_mutex_lock(&g_lock);
    for (OpenHandle &slot : g_handles) {
        if (slot.handle == nullptr) {
            slot.handle = handle;
            std::memcpy(slot.name, name, sizeof slot.name);
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
}

// True when `dir` was opened on the testbed's dev/bus/usb or one of its
// bus directories.
bool is_usb_dir(DIR *dir)
{
    const char *root = std::getenv("UMOCKDEV_DIR");
    if (root == nullptr || *root == '\0')
        return false;
    char link[64];
    char path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
    // The system call itself: the link's real target, not what readlink()
    // shows the program (usbfs.cpp maps testbed nodes to /dev/...).
    const long len = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
    if (len <= 0)
        return false;
    path[len] = '\0';
    char usb[PATH_MAX];
    const int usb_len = std::snprintf(usb, sizeof usb, "%s/dev/bus/usb", root);
    if (usb_len <= 0 || static_cast<std::size_t>(usb_len) >= sizeof usb)
        return false;
    if (std::strncmp(path, usb, static_cast<std::size_t>(usb_len)) != 0)
        return false;
    const char *rest = path + usb_len;
    return *rest == '\0' || (*rest == '/' && std::strchr(rest + 1, '/') == nullptr);
}

using Readdir64Fn = struct dirent64 *(*)(DIR *);

// Reads all of `dir` through the next readdir64 and keeps it in the order
// named by USBSIM_ORDER. Returns the slot, or null when the order is not
// taken over (not a USB directory, no room).
OrderedDir *order_dir(DIR *dir)
{
    for (OrderedDir &slot : g_dirs)
        if (slot.dir == dir)
            return slot.ordered ? &slot : nullptr;
    OrderedDir *slot = nullptr;
    for (OrderedDir &candidate : g_dirs)
        if (candidate.dir == nullptr) {
            slot = &candidate;
            break;
        }
    if (!is_usb_dir(dir)) {
        if (slot != nullptr)
            *slot = OrderedDir{dir, false, 0, 0, nullptr};
        return nullptr;
    }
    if (slot == nullptr)
        return nullptr;
    auto *entries = static_cast<struct dirent64 *>(std::calloc(kMaxDirEntries, sizeof(struct dirent64)));
    if (entries == nullptr)
        return nullptr;
    static const auto real_readdir64 = next_fn<Readdir64Fn>("readdir64");
    std::size_t count = 0;
    while (count < kMaxDirEntries) {
        const struct dirent64 *entry = real_readdir64(dir);
        if (entry == nullptr)
            break;
        entries[count++] = *entry;
    }
    const char *order = std::getenv("USBSIM_ORDER");
    const bool reversed = order != nullptr && std::strcmp(order, "reversed") == 0;
    std::sort(entries, entries + count, [reversed](const struct dirent64 &a, const struct dirent64 &b) {
        const int cmp = std::strcmp(a.d_name, b.d_name);
        return reversed ? cmp > 0 : cmp < 0;
    });
    *slot = OrderedDir{dir, true, count, 0, entries};
    return slot;
}

// Returns the next entry of `dir`, in usbsim's order for USB directories.
struct dirent64 *next_entry(DIR *dir)
{
    pthread_mutex_lock(&g_lock);
    OrderedDir *slot = order_dir(dir);
    struct dirent64 *entry = nullptr;
    const bool ordered = slot != nullptr;
    if (ordered && slot->next < slot->count)
        entry = &slot->entries[slot->next++];
    pthread_mutex_unlock(&g_lock);
    if (ordered)
        return entry;
    static const auto real_readdir64 = next_fn<Readdir64Fn>("readdir64");
    return real_readdir64(dir);
}

} // namespace

extern "C" {

// Records a pause of `us` microseconds; sleeps only with USBSIM_REAL_TIME=1.
int usleep(useconds_t us)
{
    if (!called_by_umockdev(__builtin_return_address(0)))
        trace("pause %u", static_cast<unsigned>(us));
    if (!real_time())
        return 0;
    static const auto real = next_fn<int (*)(useconds_t)>("usleep");
    return real(us);
}

// Records the pause of `req`; sleeps only with USBSIM_REAL_TIME=1.
int nanosleep(const struct timespec *req, struct timespec *rem)
{
    trace("pause %llu", static_cast<unsigned long long>(timespec_us(req)));
    if (!real_time())
        return 0;
    static const auto real = next_fn<int (*)(const struct timespec *, struct timespec *)>("nanosleep");
    return real(req, rem);
}

// Records the pause of `req` (relative, or up to an absolute time); sleeps
// only with USBSIM_REAL_TIME=1.
int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    std::uint64_t us = timespec_us(req);
    if ((flags & TIMER_ABSTIME) != 0) {
        struct timespec now{};
        clock_gettime(clock, &now);
        const std::uint64_t now_us = timespec_us(&now);
        us = us > now_us ? us - now_us : 0;
    }
    trace("pause %llu", static_cast<unsigned long long>(us));
    if (!real_time())
        return 0;
    static const auto real =
        next_fn<int (*)(clockid_t, int, const struct timespec *, struct timespec *)>("clock_nanosleep");
    return real(clock, flags, req, rem);
}

// Records a pause of `seconds`; sleeps only with USBSIM_REAL_TIME=1.
unsigned int sleep(unsigned int seconds)
{
    trace("pause %llu", static_cast<unsigned long long>(seconds) * 1'000'000);
    if (!real_time())
        return 0;
    static const auto real = next_fn<unsigned int (*)(unsigned int)>("sleep");
    return real(seconds);
}

// libusb's usb_open, traced; returns null for the nodes in USBSIM_OPEN_FAILS.
usb_dev_handle *usb_open(struct usb_device *dev)
{
    char name[kNodeNameLen];
    node_name(dev, name);
    static const auto real = next_fn<usb_dev_handle *(*)(struct usb_device *)>("usb_open");
    usb_dev_handle *handle = open_fails(name) || real == nullptr ? nullptr : real(dev);
    if (handle == nullptr) {
        trace("usb_open %s = NULL", name);
        return nullptr;
    }
    remember_handle(handle, name);
    trace("usb_open %s", name);
    return handle;
}

// libusb's usb_close, traced.
int usb_close(usb_dev_handle *handle)
{
    char name[kNodeNameLen];
    handle_name(handle, name, true);
    static const auto real = next_fn<int (*)(usb_dev_handle *)>("usb_close");
    const int rc = real != nullptr ? real(handle) : -EINVAL;
    trace("usb_close %s", name);
    return rc;
}

// libusb's usb_reset, traced with its return value.
int usb_reset(usb_dev_handle *handle)
{
    char name[kNodeNameLen];
    handle_name(handle, name, false);
    static const auto real = next_fn<int (*)(usb_dev_handle *)>("usb_reset");
    const int rc = real != nullptr ? real(handle) : -EINVAL;
    trace("usb_reset %s = %d", name, rc);
    return rc;
}

// readdir64, in usbsim's order for the testbed's USB directories.
struct dirent64 *readdir64(DIR *dir)
{
    return next_entry(dir);
}

// readdir (same layout as readdir64 on 64-bit Linux), in usbsim's order.
struct dirent *readdir(DIR *dir)
{
    static_assert(sizeof(struct dirent) == sizeof(struct dirent64));
    return reinterpret_cast<struct dirent *>(next_entry(dir));
}

// closedir, forgetting the order kept for `dir`.
int closedir(DIR *dir)
{
    pthread_mutex_lock(&g_lock);
    for (OrderedDir &slot : g_dirs) {
        if (slot.dir == dir) {
            std::free(slot.entries);
            slot = OrderedDir{};
        }
    }
    pthread_mutex_unlock(&g_lock);
    static const auto real = next_fn<int (*)(DIR *)>("closedir");
    return real(dir);
}

} // extern "C"

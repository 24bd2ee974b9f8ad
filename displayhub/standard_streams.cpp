// SPDX-License-Identifier: GPL-2.0-or-later
/* standard_streams -- standard descriptors and output that survive closed ends and killed runs */
#include "displayhub.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace displayhub {

void guard_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open gives the lowest free number, which is `fd`: every lower one
        // is open by now. A /dev/null that cannot be opened leaves `fd`
        // closed on purpose: there is nothing else to put there.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd > fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    // Neither call can fail with these arguments; their results are not
    // examined on purpose.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

} // namespace displayhub

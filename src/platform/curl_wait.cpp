// libcurl's select-style descriptor sets turned into poll entries.
#include "platform/curl_wait.h"

#include <sys/select.h>

#include <algorithm>
#include <climits>

namespace quarel::platform {

int watch_curl(CURLM* multi, std::vector<pollfd>& fds, long no_socket_ms) {
    fd_set read_set, write_set, error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    int max_fd = -1;
    if (curl_multi_fdset(multi, &read_set, &write_set, &error_set, &max_fd) != CURLM_OK) max_fd = -1;
    for (int fd = 0; fd <= max_fd; ++fd) {
        short events = 0;
        if (FD_ISSET(fd, &read_set)) events |= POLLIN;
        if (FD_ISSET(fd, &write_set)) events |= POLLOUT;
        if (FD_ISSET(fd, &error_set)) events |= POLLPRI;
        if (events != 0) fds.push_back({fd, events, 0});
    }
    long timeout = -1;
    if (curl_multi_timeout(multi, &timeout) != CURLM_OK) timeout = -1;
    if (max_fd < 0 && (timeout < 0 || timeout > no_socket_ms)) timeout = no_socket_ms;
    return timeout < 0 ? -1 : static_cast<int>(std::min<long>(timeout, INT_MAX));
}

}  // namespace quarel::platform

// The descriptors and timer of a libcurl multi handle, in the form the loop's wait polls.
#pragma once

#include <curl/curl.h>
#include <poll.h>

#include <vector>

namespace quarel::platform {

// Adds the multi handle's sockets to `fds` and returns how long the wait may last for its sake in ms
// (-1: no limit of its own). While libcurl shows no socket and no timer (a name lookup under way), the
// transfer is looked at again after `no_socket_ms` at the latest, as libcurl asks of loops that wait on
// their own.
int watch_curl(CURLM* multi, std::vector<pollfd>& fds, long no_socket_ms);

}  // namespace quarel::platform

// The descriptors and timer of a libcurl multi handle, in the form the loop's wait polls.
#pragma once

#include <curl/curl.h>
#include <poll.h>

#include <cstdint>
#include <vector>

#include "platform/system_clock.h"

namespace quarel::platform {

// Adds the multi handle's sockets to `fds` and returns how long the wait may last for its sake in ms
// (-1: no limit of its own). While libcurl shows no socket and no timer (a name lookup under way), the
// transfer is looked at again after `no_socket_ms` at the latest, as libcurl asks of loops that wait on
// their own.
int watch_curl(CURLM* multi, std::vector<pollfd>& fds, long no_socket_ms);

// Milliseconds on the clock that never goes back.
inline std::int64_t monotonic_ms() { return SystemClock().monotonic_us() / 1000; }

// When a transfer is worth driving (curl_multi_perform, several system calls): once it began, when the
// wait found one of its sockets ready, or when the timer it asked the wait for is due. Passes in between
// leave it alone.
class CurlTurn {
public:
    // A transfer began, or the wait found one of its sockets ready.
    void owe() { owed_ = true; }
    // watch_curl's limit, asked at the monotonic millisecond `now_ms`.
    void timer(int limit_ms, std::int64_t now_ms) { due_ms_ = limit_ms < 0 ? -1 : now_ms + limit_ms; }
    // Whether to drive it at `now_ms`; a turn taken is used up.
    bool take(std::int64_t now_ms) {
        const bool go = owed_ || (due_ms_ >= 0 && now_ms >= due_ms_);
        if (go) owed_ = false, due_ms_ = -1;
        return go;
    }

private:
    bool owed_ = false;
    std::int64_t due_ms_ = -1;
};

}  // namespace quarel::platform

// random_bytes over getrandom(2).
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace quarel::platform {

bool random_bytes(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    // Short reads happen for large requests and on signals; keep asking for the rest.
    while (done < out.size()) {
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace quarel::platform

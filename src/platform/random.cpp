// getrandom(2), retried on interruption and for partial fills.
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace quarel::platform {

bool random_bytes(std::span<std::uint8_t> out) {
    std::size_t done = 0;
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

// The stdout console.
#include "platform/console.h"

#include <cstdio>

namespace quarel::platform {

void StdoutConsole::write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace quarel::platform

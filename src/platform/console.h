// The server's real console: standard output.
#pragma once

#include <string_view>

#include "core/console.h"

namespace quarel::platform {

// Writes to stdout and flushes after every write, so hosts see each line as it happens even when
// stdout is a pipe or a file.
class StdoutConsole final : public core::Console {
public:
    void write(std::string_view text) override;
};

}  // namespace quarel::platform

// The server under test as a child process: the real quarel-server, or the baseline (this program
// started again in its hidden baseline mode). Killed when the handle goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quarel::bench {

enum class Kind : std::uint8_t { Real, Baseline };
const char* kind_name(Kind k);

struct Ports {
    std::uint16_t chat = 0;
    std::uint16_t game = 0;
};

// Two UDP ports that were free a moment ago.
Ports free_ports();

class ServerChild {
public:
    // Starts the server in a fresh temporary directory with a config of `max_slots` slots and waits
    // (at most 5 s) until it answers a slot query on the chat port. `ok()` tells whether that worked.
    // `extra_args` go to the real server after its ports.
    ServerChild(Kind kind, const std::string& real_binary, Ports ports, std::int32_t max_slots,
                const std::vector<std::string>& extra_args = {});
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    bool ok() const { return ready_; }
    pid_t pid() const { return pid_; }
    Kind kind() const { return kind_; }
    const Ports& ports() const { return ports_; }
    // What the server printed so far.
    std::string output() const;

private:
    Kind kind_;
    Ports ports_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::filesystem::path dir_;
};

// The path of the running executable.
std::string self_exe();

}  // namespace quarel::bench

// quarel-server: reads the options and the settings, builds the server, opens it and runs it.
#include <cstdio>

#include "core/options.h"
#include "core/settings.h"
#include "platform/config_file.h"
#include "platform/console.h"
#include "platform/random.h"
#include "platform/signals.h"
#include "platform/source_hash.h"
#include "server/server.h"

using namespace quarel;

int main(int argc, char** argv) {
    const core::ParsedOptions parsed = core::parse_options(argc, argv);
    if (parsed.exit_status) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return *parsed.exit_status;
    }
    const core::Options& options = parsed.options;
    if (options.check_config) return platform::check_config_file(options);

    // Installed before the config file is read and the sockets open, so that a stop during start-up is
    // not lost.
    platform::ShutdownSignals stop;
    platform::StdoutConsole console;
    core::Settings settings;
    if (const auto status = server::load_settings(settings, options, stop, console)) return *status;
    // The limiters' tables are keyed with a secret, so that nobody can compute colliding sources.
    platform::SipSourceHash::Key hash_key{};
    if (!platform::random_bytes(hash_key)) {
        std::fprintf(stderr, "quarel-server: the kernel gives no random bytes\n");
        return 1;
    }
    server::Server server(options, settings, hash_key, stop, console);
    if (const auto status = server.open()) return *status;
    return server.run();
}

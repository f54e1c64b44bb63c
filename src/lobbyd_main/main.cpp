// quarel-lobby: reads the options and the config file, opens the lobby and runs it.
#include <cstdio>

#include "lobbyd/settings.h"
#include "lobbyd_main/service.h"
#include "platform/config_file.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/signals.h"
#include "platform/source_hash.h"

using namespace quarel;

int main(int argc, char** argv) {
    const lobbyd::ParsedOptions parsed = lobbyd::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return *parsed.exit_status;
    }
    const lobbyd::Options& options = parsed.options;
    platform::ShutdownSignals stop;
    const platform::ReadResult read =
        platform::read_file(options.config_path, platform::kConfigByteLimit, [&] { return stop.requested(); });
    if (read.status != platform::ReadStatus::Ok && (options.config_given || read.status != platform::ReadStatus::Missing)) {
        std::fprintf(stderr, "quarel-lobby: cannot read config file '%s'%s%s\n", options.config_path.c_str(),
                     read.error.empty() ? "" : ": ", read.error.c_str());
        return 2;
    }
    lobbyd::Settings settings;
    std::string warnings;
    lobbyd::apply_config(settings, read.text, options.config_path, &warnings);
    if (!options.listen.empty()) settings.listen = options.listen;
    if (options.check_config) {
        std::fputs(lobbyd::describe(settings).c_str(), stdout);
        std::fputs(warnings.c_str(), stderr);
        return warnings.empty() ? 0 : 1;
    }
    platform::StdoutConsole console;
    console.write(warnings);
    platform::SipSourceHash::Key key{};
    if (!platform::random_bytes(key)) {
        std::fprintf(stderr, "quarel-lobby: the kernel gives no random bytes\n");
        return 1;
    }
    const platform::SipSourceHash hash(key);
    lobbyd::Service service(options, std::move(settings), hash, stop, console);
    if (const auto status = service.open()) return *status;
    return service.run();
}

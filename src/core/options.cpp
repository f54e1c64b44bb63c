// Command-line parsing for quarel-server.
#include "core/options.h"

#include <string_view>

#include "net/http_address.h"
#include "protocol/messages.h"

namespace quarel::core {

namespace {

constexpr const char* kProgram = "quarel-server";


ParsedOptions usage_error(ParsedOptions result, const std::string& why) {
    result.exit_status = 2;
    result.err = std::string(kProgram) + ": " + why + "\n" + usage_text();
    return result;
}

}  // namespace

Options::Options() : chat_port(protocol::kChatPort), game_port(protocol::kGamePort) {}

std::string usage_text() {
    return "usage: quarel-server [--config PATH] [--chat-port N] [--game-port N] [--http [ADDR:]PORT]\n"
           "       quarel-server --check-config [PATH] [--chat-port N] [--game-port N] [--http [ADDR:]PORT]\n"
           "       quarel-server --help | --version\n"
           "Runs the Quarel MultiPlayer dedicated server until it receives SIGINT or SIGTERM.\n"
           "  --config PATH    read the settings from PATH instead of ./config\n"
           "  --chat-port N    UDP port of the chat and query socket (default 4173)\n"
           "  --game-port N    UDP port of the game socket (default 4174)\n"
           "  --http [ADDR:]PORT  serve the status page, JSON and metrics over HTTP (a port alone:\n"
           "                   127.0.0.1; IPv6 in brackets; port 0: any free port)\n"
           "  --check-config [PATH]  print the settings as the server would use them, warn about\n"
           "                   lines that set nothing or not what they seem; exit 0 clean, 1 with warnings,\n"
           "                   2 when the server would not start with them\n"
           "  --help           print this text and exit\n"
           "  --version        print the version and exit\n";
}

std::string version_text() { return std::string(kProgram) + " " + QUAREL_VERSION + "\n"; }

ParsedOptions parse_options(const std::vector<std::string>& args) {
    ParsedOptions result;
    Options& opt = result.options;
    bool chat_given = false;
    bool game_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            result.exit_status = 0;
            result.out = usage_text();
            return result;
        }
        if (arg == "--version") {
            result.exit_status = 0;
            result.out = version_text();
            return result;
        }
        // Options with a value take it from "--name=value" or from the next argument.
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name == "--check-config") {
            // The path is optional: taken from "=PATH" or from a next argument that is no option.
            opt.check_config = true;
            if (!value && i + 1 < args.size() && !args[i + 1].starts_with("-")) value = args[++i];
            if (!value) continue;
            name = "--config";
        }
        if (name != "--config" && name != "--chat-port" && name != "--game-port" && name != "--http") {
            return usage_error(std::move(result), "unknown option '" + std::string(arg) + "'");
        }
        if (!value) {
            if (i + 1 >= args.size()) return usage_error(std::move(result), std::string(name) + " needs a value");
            value = args[++i];
        }
        if (name == "--config") {
            if (value->empty()) return usage_error(std::move(result), "--config needs a value");
            opt.config_path = std::string(*value);
            opt.config_given = true;
        } else if (name == "--http") {
            if (!net::parse_http_address(*value)) {
                return usage_error(std::move(result), "--http: '" + std::string(*value) + "' is not [ADDR:]PORT");
            }
            opt.http = std::string(*value);
            opt.http_given = true;
        } else {
            const std::optional<std::uint16_t> port = net::parse_port(*value);
            if (!port) {
                return usage_error(std::move(result),
                                   std::string(name) + ": '" + std::string(*value) + "' is not a port (1..65535)");
            }
            (name == "--chat-port" ? opt.chat_port : opt.game_port) = *port;
            (name == "--chat-port" ? chat_given : game_given) = true;
        }
    }
    opt.chat_port_given = chat_given;
    opt.game_port_given = game_given;
    // A port given alone is compared with the other one once the config file is read.
    if (chat_given && game_given && opt.chat_port == opt.game_port) {
        return usage_error(std::move(result), "the chat and game ports must differ");
    }
    return result;
}

void apply_options(Settings& settings, const Options& options) {
    if (options.chat_port_given) settings.chat_port = options.chat_port;
    if (options.game_port_given) settings.game_port = options.game_port;
    if (options.http_given) settings.http = options.http;
}

ParsedOptions parse_options(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return parse_options(args);
}

}  // namespace quarel::core

// Where console lines go: stdout in the server, a string in tests. Every whole line has a kind and the
// fields it names, so that the same line can also leave as a JSON object or an event on the admin page's
// live log; the text itself is the plain console line and never changes with the format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarel::core {

// What a console line is about. The names (log_kind_name) are what JSON logs and the event stream carry.
enum class LogKind : std::uint8_t {
    Join,
    Leave,
    Timeout,
    Name,
    Chat,
    Query,
    Kick,
    Ban,
    Allow,
    Mute,
    Say,
    Reload,
    Refusal,
    Lobby,
    Start,
    Stop,
    Kill,   // a kill or a death in the game
    Match,  // a match begins or ends
    Webhook,
    Schedule,
};
enum class LogLevel : std::uint8_t { Info, Warning, Error };

std::string_view log_kind_name(LogKind kind);
std::string_view log_level_name(LogLevel level);

// The facts of one line. Unset fields are left out of the structured forms: id < 0, empty views.
struct LogEvent {
    LogKind kind = LogKind::Start;
    LogLevel level = LogLevel::Info;
    std::int32_t id = -1;
    std::string_view name;     // the player's name as received (not escaped)
    std::string_view address;  // the player's or caller's address, "ip:port" or "ip"
    std::string_view admin;    // the admin who acted, for audit lines
};

class Console {
public:
    virtual ~Console() = default;
    // Raw text: the banner, and parts of a line whose end comes in a later write.
    virtual void write(std::string_view text) = 0;
    // One or more whole lines ("...\n") with what they are about; a lobby failure line may end without its
    // line feed, which the next line then completes. Plain consoles just write the text.
    virtual void line(const LogEvent& event, std::string_view text) {
        (void)event;
        write(text);
    }
    // printf-style; the formats are the server's fixed console lines.
    void print(const LogEvent& event, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

// Keeps everything written, for tests and tools.
class StringConsole final : public Console {
public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace quarel::core

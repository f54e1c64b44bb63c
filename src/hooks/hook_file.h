// The webhooks file: one hook a line, `NAME FORMAT URL [EVENT...]`. A hook's URL is a secret (whoever
// holds it can post to the room): nothing the server prints, answers or logs holds more of it than the
// host it goes to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::hooks {

// How a hook's request carries an event.
enum class Format : std::uint8_t {
    Json,     // one POST per event: the event's JSON log object (application/json)
    Discord,  // {"content": ...}, the lines of 2 seconds gathered into one message
    Slack,    // {"text": ...}, one POST per event
    Text,     // the readable line as a plain body, one POST per event
};

// What a hook may be told of. Test is what `quarel-ctl hooks test` sends: every hook takes it.
enum class Event : std::uint8_t { Start, Stop, Crash, Join, Leave, Chat, Admin, Match, Refusals, Lobby, Test };
inline constexpr std::size_t kEvents = 11;

using EventMask = std::uint32_t;
constexpr EventMask bit(Event e) { return EventMask{1} << static_cast<unsigned>(e); }
// A hook whose line names no event: start stop crash join leave admin match.
inline constexpr EventMask kDefaultEvents = bit(Event::Start) | bit(Event::Stop) | bit(Event::Crash) |
                                            bit(Event::Join) | bit(Event::Leave) | bit(Event::Admin) |
                                            bit(Event::Match);

std::string_view event_name(Event event);
std::string_view format_name(Format format);
// The names of the events in `mask`, in the order of Event, blank-separated.
std::string event_names(EventMask mask);

// The most hooks one file gives, and the longest URL taken.
inline constexpr std::size_t kMaxHooks = 32;
inline constexpr std::size_t kMaxUrl = 2048;
inline constexpr std::size_t kMaxHookName = 32;

struct Hook {
    std::string name;  // letters, digits, '-', '_' and '.'
    Format format = Format::Json;
    std::string url;   // http:// or https://
    EventMask events = kDefaultEvents;

    friend bool operator==(const Hook&, const Hook&) = default;
};

// A line that gives no hook: its number (from 1) and why, in words that never quote the line's fields
// (a URL in the wrong place would otherwise be printed).
struct HookProblem {
    std::size_t line = 0;
    std::string why;
};

struct HookFile {
    std::vector<Hook> hooks;
    std::vector<HookProblem> problems;
};

// Reads the file's text. Blank lines and lines starting with '#' are skipped; a line with a problem gives
// no hook; a name given twice keeps its first line; past kMaxHooks hooks the rest are problems.
HookFile parse_hooks(std::string_view text);

// What a URL may be shown as: its host and port ("discord.com", "127.0.0.1:9000"), never its path,
// query or user.
std::string url_host(std::string_view url);

}  // namespace quarel::hooks

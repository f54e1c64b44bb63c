// One event as the hooks carry it, and the request bodies of the formats.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/console.h"
#include "hooks/hook_file.h"

namespace quarel::hooks {

struct Item {
    Event event = Event::Test;
    // The line a chat room shows ("Ann joined: 3 of 16 players"), control bytes escaped, no line feed.
    std::string message;
    // What the json format posts: the event's JSON log object (see event_json).
    std::string json;
};
using ItemPtr = std::shared_ptr<const Item>;

// The JSON log object of a console line (core::log_json, "event" its kind) with two more fields:
// "hook_event", the hook event it is, and "message", the readable line.
std::string event_json(std::string_view time, const core::LogEvent& facts, std::string_view text, Event event,
                       std::string_view message);

// A readable line made safe for Discord's markdown (a backslash before each character it acts on) and
// for Slack's (&, < and > as entities, so that a name cannot write <!everyone>).
std::string discord_escape(std::string_view text);
std::string slack_escape(std::string_view text);

// The most bytes of one Discord message's content; a longer line is cut.
inline constexpr std::size_t kDiscordContent = 2000;

// How many items from the front of `items` one Discord message takes: as many as fit kDiscordContent
// (at least one).
std::size_t discord_batch(std::span<const ItemPtr> items);

struct Body {
    std::string content_type;
    std::string text;
};
// The request of `format` for `items`: one item, but as many as discord_batch takes for Discord, whose
// message never pings anyone ("allowed_mentions": {"parse": []}).
Body body_of(Format format, std::span<const ItemPtr> items);

}  // namespace quarel::hooks

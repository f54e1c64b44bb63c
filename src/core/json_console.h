// Console lines as JSON objects, one a line ("log_format json"), for journald and log shippers: the
// line's time, level, kind and fields beside its plain text, so that nothing has to parse the text.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/console.h"
#include "core/stamped_console.h"

namespace quarel::core {

// `text` as a JSON string, quotes included, appended to `out`: its letters as utf8_text reads them (a
// byte that is not well-formed UTF-8 is its Latin-1 letter), so that the result is always valid JSON;
// controls (C1 ones too, which a terminal showing the log would act on) as \n, \t, \r or \u00XX.
void append_json_string(std::string& out, std::string_view text);

// One line as a JSON object: {"time", "level", "event": the kind, the fields that are set ("id",
// "name", "address", "admin"), "text"}. `text` is the plain line without its line feed.
std::string log_json(std::string_view time, const LogEvent& event, std::string_view text);

// A console that hands on whole lines, one at a time, whatever pieces they come in: a line begun by one
// call and ended by a later one (the lobby's failure lines end without a line feed) is one line, with
// the facts (kind, level, fields) of its first piece. Raw writes (the banner) are lines of kind start.
class LineConsole : public Console {
public:
    void write(std::string_view text) override { line({.kind = LogKind::Start}, text); }
    void line(const LogEvent& event, std::string_view text) override;

protected:
    // One whole line, without its line feed.
    virtual void whole_line(const LogEvent& event, std::string_view text) = 0;

private:
    // The piece of a line still waiting for its end, and the facts of its first piece (the views of
    // `held_event_` point into the strings beside it).
    std::string held_text_;
    std::string held_name_, held_address_, held_admin_;
    LogEvent held_event_;
    bool holding_ = false;
};

// Writes every whole line to `inner` as a log_json object and a line feed; `log_timestamps` has no
// effect here, the time is always there.
class JsonConsole final : public LineConsole {
public:
    JsonConsole(Console& inner, std::function<LocalTime()> now) : inner_(inner), now_(std::move(now)) {}

protected:
    void whole_line(const LogEvent& event, std::string_view text) override;

private:
    Console& inner_;
    std::function<LocalTime()> now_;
};

// Every write and line to both consoles, `first` first.
class TeeConsole final : public Console {
public:
    TeeConsole(Console& first, Console& second) : first_(first), second_(second) {}
    void write(std::string_view text) override {
        first_.write(text);
        second_.write(text);
    }
    void line(const LogEvent& event, std::string_view text) override {
        first_.line(event, text);
        second_.line(event, text);
    }

private:
    Console& first_;
    Console& second_;
};

}  // namespace quarel::core

// The hand-over keeper: records taken and written, the service manager told, the restart in place.
#include "server/handover_keeper.h"

#include <algorithm>

#include "core/safe_text.h"
#include "game/game.h"

namespace quarel::server {

HandoverKeeper::HandoverKeeper(std::vector<std::string> argv, core::ServerState& state, net::Clock& clock,
                               core::Console& console)
    : argv_(std::move(argv)),
      program_(platform::own_program(argv_.empty() ? nullptr : argv_[0].c_str())),
      state_(state),
      clock_(clock),
      console_(console),
      inherited_(platform::take_inherited()) {}

std::optional<core::ChartsRecord> HandoverKeeper::take_over(core::Io& io) {
    std::vector<std::vector<std::uint8_t>> records;
    for (const int fd : inherited_.records) records.push_back(platform::read_descriptor(fd, platform::kRecordLimit));
    const std::string& file = state_.settings.state_file;
    if (!file.empty()) {
        platform::RecordFileRead r = platform::read_record_file(file);
        if (!r.refused.empty()) {
            console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "State file %s not read: %s\n",
                           core::escape_controls(file).c_str(), core::escape_controls(r.refused).c_str());
        }
        records.push_back(std::move(r.record));
    }
    std::erase_if(records, [](const auto& r) { return r.empty(); });
    if (records.empty()) return std::nullopt;
    // This process's records follow every one it was handed, taken or not: a memory file that still
    // holds a record it did not take must never pass for the newer after a crash.
    for (const auto& r : records) sequence_ = std::max(sequence_, core::handover_sequence(r).value_or(0));
    // The newest of those that can be read; when none can, the first says why.
    const auto newest = std::max_element(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return core::handover_sequence(a) < core::handover_sequence(b);
    });
    core::TakeoverResult r = core::take_over(*newest, state_, clock_.now());
    if (!r.line.empty()) {
        console_.line({.kind = core::LogKind::Start,
                       .level = r.outcome == core::Takeover::Taken ? core::LogLevel::Info : core::LogLevel::Warning},
                      r.line);
    }
    if (r.outcome != core::Takeover::Taken) return std::nullopt;
    for (const core::LeftOut& gone : r.left_out) game::announce_left_out(state_, io, gone.id, gone.name);
    if (r.match && match_taken) match_taken(*r.match);
    return std::move(r.charts);
}

std::vector<std::uint8_t> HandoverKeeper::make_record(const core::ChartsRecord* charts) {
    const std::optional<core::MatchRecord> match = match_source ? match_source() : std::nullopt;
    return core::write_handover(state_, charts, clock_.now(), ++sequence_, core::kHandoverVersion, match ? &*match : nullptr);
}

void HandoverKeeper::keep(const std::vector<std::pair<int, std::string>>& fds) {
    if (service_.present()) {
        memory_ = std::make_unique<platform::RecordMemory>(std::exchange(inherited_.records, {}), service_);
        for (const auto& [fd, name] : fds) service_.store(fd, name.c_str());
        if (service_.watchdog_us() > 0) next_watchdog_us_ = clock_.monotonic_us();
    }
    // A listener handed over that `http` no longer asks for, memory files without a service manager.
    platform::close_unused(inherited_);
}

void HandoverKeeper::after_pass(const core::ChartsRecord* charts, bool now_all) {
    const std::int64_t now_us = clock_.monotonic_us();
    if (next_watchdog_us_ != 0 && now_us >= next_watchdog_us_) {
        service_.notify("WATCHDOG=1");
        next_watchdog_us_ = now_us + static_cast<std::int64_t>(service_.watchdog_us() / 2);
    }
    if (state_.table.player_count() != told_players_) {
        told_players_ = state_.table.player_count();
        service_.notify("STATUS=" + std::to_string(told_players_) + " of " + std::to_string(state_.table.size()) +
                        " players in the game");
    }
    collect_file();
    memory_pending_ = file_pending_ = true;
    const std::string& file = state_.settings.state_file;
    const bool to_memory = memory_ && (now_all || memory_schedule_.looking_due(now_us));
    const bool to_file = !file.empty() && (now_all || file_schedule_.looking_due(now_us));
    if (!to_memory && !to_file) return;
    const core::GameDigest digest = core::game_digest(state_);
    std::vector<std::uint8_t> record;
    const auto made = [&]() -> const std::vector<std::uint8_t>& {
        if (record.empty()) record = make_record(charts);
        return record;
    };
    // The counters alone change with every datagram: they ride along when the game changes.
    if (to_memory) {
        memory_pending_ = false;
        if (memory_schedule_.look(now_us, digest) || now_all) memory_schedule_.written(now_us, digest, memory_->write(made()));
    }
    if (to_file) {
        file_pending_ = false;
        if (file_schedule_.look(now_us, digest) || now_all) {
            file_.write(file, made());
            file_schedule_.written(now_us, digest, true);
        }
    }
}

void HandoverKeeper::collect_file() {
    const auto outcome = file_.collect();
    if (!outcome) return;
    if (!outcome->error.empty() && outcome->error != file_error_) {
        console_.print({.kind = core::LogKind::Stop, .level = core::LogLevel::Error}, "State file %s not written: %s\n",
                       core::escape_controls(outcome->path).c_str(), core::escape_controls(outcome->error).c_str());
    }
    // A failed write is tried again at the next look, whatever changed.
    if (!outcome->error.empty()) file_schedule_.forget();
    file_error_ = outcome->error;
}

void HandoverKeeper::stop() {
    file_.flush();
    collect_file();
    const std::int32_t players = state_.table.player_count();
    if (players > 0 && !memory_ && state_.settings.state_file.empty()) {
        console_.print({.kind = core::LogKind::Stop, .level = core::LogLevel::Warning},
                       "%d %s dropped: no state_file keeps the game, and no service manager.\n", players,
                       players == 1 ? "player" : "players");
    }
}

void HandoverKeeper::begin_restart(std::function<void(const admin::RestartOutcome&)> done) {
    if (done) waiting_.push_back(std::move(done));
    if (check_) return;
    service_.notify("RELOADING=1");
    std::string why;
    check_ = platform::ProgramCheck::start(program_, argv_, kRestartCheckTimeout, why);
    if (!check_) fail_restart(why);
}

bool HandoverKeeper::restart_ready() {
    if (!check_ || !check_->ended()) return false;
    if (check_->passed()) return true;
    const std::string why = check_->why();
    check_.reset();
    fail_restart(why);
    return false;
}

void HandoverKeeper::fail_restart(const std::string& why) {
    console_.print({.kind = core::LogKind::Reload, .level = core::LogLevel::Error},
                   "Restart failed: %s; this process goes on serving.\n", core::escape_controls(why).c_str());
    service_.notify("READY=1");
    for (const auto& done : std::exchange(waiting_, {})) done({false, 0, why});
}

std::optional<std::vector<std::pair<int, std::string>>> HandoverKeeper::write_last_record(
    const core::ChartsRecord* charts) {
    check_.reset();
    // Without a service manager, memory files of the restart's own carry the record.
    platform::RecordMemory* memory = memory_.get();
    if (memory == nullptr) {
        handed_ = std::make_unique<platform::RecordMemory>(std::vector<int>{}, platform::ServiceManager{});
        memory = handed_.get();
    }
    if (!memory->ok() || !memory->write(make_record(charts))) {
        handed_.reset();
        fail_restart("the record for the new program cannot be written to memory");
        return std::nullopt;
    }
    for (const auto& done : std::exchange(waiting_, {})) done({true, platform::this_process(), ""});
    std::vector<std::pair<int, std::string>> fds;
    for (const int fd : memory->fds()) fds.emplace_back(fd, platform::kRecordFdName);
    return fds;
}

void HandoverKeeper::exec(const std::vector<std::pair<int, std::string>>& fds) {
    // The state file's last write ends first: the new program may read it.
    file_.flush();
    console_.line({.kind = core::LogKind::Reload}, "Restarting: the new program takes over in this process.\n");
    const std::string why = platform::exec_in_place(program_, argv_, fds);
    handed_.reset();
    fail_restart(why);
}

int HandoverKeeper::watch(std::vector<pollfd>& fds) {
    file_.watch(fds);
    std::int64_t next = check_ ? check_->watch(fds) : -1;
    const std::int64_t now_us = clock_.monotonic_us();
    const auto consider = [&](std::int64_t at_us) {
        const std::int64_t ms = std::max<std::int64_t>(0, (at_us - now_us + 999) / 1000);
        next = next < 0 ? ms : std::min(next, ms);
    };
    if (next_watchdog_us_ != 0) consider(next_watchdog_us_);
    // A record is looked at again only after a pass: without one, nothing changed.
    if (memory_ && memory_pending_) consider(memory_schedule_.next_look_us());
    if (!state_.settings.state_file.empty() && file_pending_) consider(file_schedule_.next_look_us());
    return static_cast<int>(std::min<std::int64_t>(next, 60'000));
}

}  // namespace quarel::server

// The hand-over of the game from one program to the next: what this start was handed, the service
// manager, where the record is kept (the memory files in the manager's store, the state file) and when
// it is written, and the restart in place (the new program's check of the config, then its exec in
// this process). Part of the program, beside the Server, whose sockets and listeners it hands over.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "admin/api.h"
#include "core/console.h"
#include "core/handover.h"
#include "core/server_state.h"
#include "net/transport.h"
#include "platform/record_file.h"
#include "platform/restart.h"
#include "platform/service_manager.h"
#include "platform/wait.h"

namespace quarel::server {

// The longest the new program's check of the config may take before the restart is given up.
inline constexpr std::chrono::milliseconds kRestartCheckTimeout{10'000};

class HandoverKeeper final : public platform::WaitSource {
public:
    // Takes what this start was handed. `argv` is the command line, given again to the program file on a
    // restart in place; `state`, `clock` and `console` must outlive the keeper.
    HandoverKeeper(std::vector<std::string> argv, core::ServerState& state, net::Clock& clock, core::Console& console);

    // The score keeper's match in progress, which every record carries beside the game (nothing between
    // matches), and who is handed the match a record taken over carried.
    std::function<std::optional<core::MatchRecord>()> match_source;
    std::function<void(const core::MatchRecord&)> match_taken;

    platform::Inherited& inherited() { return inherited_; }
    const platform::ServiceManager& service() const { return service_; }

    // Takes over the newest of the records this start was handed and the one `state_file` keeps, with
    // its line (a state file that is refused says why); the players beyond the table are announced gone
    // through `io`. The charts the record carried, if any.
    std::optional<core::ChartsRecord> take_over(core::Io& io);

    // Once everything is open: the service manager keeps `fds` (by name) and the record's memory files,
    // and its watchdog is fed from now on; what was handed over and not taken is closed.
    void keep(const std::vector<std::pair<int, std::string>>& fds);

    // After a pass: the watchdog fed, the player count told, what the state file's writer reported
    // taken in, and the record (with `charts` when the status page keeps them) written where it is kept
    // when the game changed and its time came (`now_all`: at once, whatever changed).
    void after_pass(const core::ChartsRecord* charts, bool now_all = false);
    // At a stop, after the last after_pass: the state file written (or its failure said); a line counts
    // the players dropped when nothing keeps the game.
    void stop();

    // A restart in place asked for (SIGUSR2, or the admin API, whose `done` hears how it ended): starts
    // the new program's check of the config beside the loop, or joins the one under way.
    void begin_restart(std::function<void(const admin::RestartOutcome&)> done = nullptr);
    // Between passes: true once the check passed, and the restart may go ahead. A check that failed
    // ends here: "Restart failed: WHY; this process goes on serving.", told to those waiting.
    bool restart_ready();
    // The restart, once ready: the record, this process's last word (`charts` as for after_pass), is
    // written into memory files for the new program, and those waiting hear that it goes ahead. The
    // memory files to hand over, by name; nothing when they could not be written (the restart then
    // failed, as said).
    std::optional<std::vector<std::pair<int, std::string>>> write_last_record(const core::ChartsRecord* charts);
    // Runs the new program in this process with `fds`: the sockets, the listeners and the memory files.
    // Returns only when it could not, having said why, for this process to go on serving.
    void exec(const std::vector<std::pair<int, std::string>>& fds);

    // The state file's writer, the check under way, and the timed work of after_pass.
    int watch(std::vector<pollfd>& fds) override;

private:
    void fail_restart(const std::string& why);
    // The record of the game as it is now, the match with it.
    std::vector<std::uint8_t> make_record(const core::ChartsRecord* charts);
    // Takes in what the state file's writer reported: a failure is said once, and written again.
    void collect_file();

    const std::vector<std::string> argv_;
    const std::string program_;
    core::ServerState& state_;
    net::Clock& clock_;
    core::Console& console_;
    platform::Inherited inherited_;
    platform::ServiceManager service_;
    std::unique_ptr<platform::RecordMemory> memory_;  // in the manager's store
    std::unique_ptr<platform::RecordMemory> handed_;  // the restart's, without a manager
    platform::RecordFile file_;
    // Memory costs little: every change within 100 ms. The file is flushed to disk at every write: the
    // game's lasting part within a second of a change, its poses alone every 5 seconds at most.
    core::RecordSchedule memory_schedule_{100'000, 100'000};
    core::RecordSchedule file_schedule_{1'000'000, 5'000'000};
    bool memory_pending_ = false;  // a pass ran since the schedule last looked
    bool file_pending_ = false;
    std::string file_error_;        // the last failure to write the state file, said once
    std::uint64_t sequence_ = 0;
    std::int32_t told_players_ = -1;
    std::int64_t next_watchdog_us_ = 0;
    std::unique_ptr<platform::ProgramCheck> check_;
    std::vector<std::function<void(const admin::RestartOutcome&)>> waiting_;
};

}  // namespace quarel::server

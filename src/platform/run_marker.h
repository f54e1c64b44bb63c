// A small file in the working directory for as long as the server runs ("running"): removed by a clean
// stop, so that a start that finds it knows the previous run ended otherwise (killed, crashed, the
// machine lost its power), and tells from it how long that run was up and how many players it had.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarel::platform {

inline constexpr const char* kRunMarkerFile = "running";

// What the file says of the run that left it.
struct PreviousRun {
    std::int64_t pid = 0;
    std::int64_t started = 0;  // calendar seconds
    std::int64_t seen = 0;     // the last time the run wrote the file
    std::int32_t players = 0;  // as it last wrote it
};

class RunMarker {
public:
    explicit RunMarker(std::string path = kRunMarkerFile) : path_(std::move(path)) {}

    // Reads what an earlier run left: nothing when it stopped cleanly or handed the game over to this
    // process (a restart in place: the same process id); then writes this run's file. `error`: why the
    // file could not be written ("" when it was).
    std::optional<PreviousRun> begin(std::int64_t now, std::int32_t players, std::string& error);
    // This run goes on: the file is written again when the player count changed (at most every 10
    // seconds) and once a minute anyway. For after every pass; costs nothing in between.
    void update(std::int64_t now, std::int32_t players);
    // The game is being handed to the new program run in this process, which takes the file over
    // without calling the hand-over a crash. undo(): it was not run after all.
    void hand_over();
    void undo_hand_over(std::int64_t now, std::int32_t players);
    // A clean stop: the file goes.
    void end();

private:
    bool write(std::int64_t now, std::int32_t players, bool handing_over, std::string* error = nullptr);

    std::string path_;
    bool active_ = false;
    std::int64_t started_ = 0;
    std::int64_t written_at_ = 0;
    std::int32_t written_players_ = 0;
};

// "2 hours 5 minutes" and the rest of the crash line: "The previous run (process 1234) ended without a
// clean stop, up 2 hours 5 minutes with 3 players."
std::string previous_run_line(const PreviousRun& run);

}  // namespace quarel::platform

// The run marker file.
#include "platform/run_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/files.h"
#include "schedule/duration.h"

namespace quarel::platform {

namespace {

constexpr std::int64_t kRewriteChanged = 10;
constexpr std::int64_t kRewriteAnyway = 60;

}  // namespace

bool RunMarker::write(std::int64_t now, std::int32_t players, bool handing_over, std::string* error) {
    std::ostringstream text;
    text << "# quarel-server: this run's marker, removed by a clean stop\n"
         << "pid " << ::getpid() << "\nstarted " << started_ << "\nseen " << now << "\nplayers " << players << "\n";
    if (handing_over) text << "handing-over\n";
    const std::string content = text.str();
    // Written in place, without a flush to disk: a file cut short by a crash still says a run ended
    // without a clean stop.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (!ok && error != nullptr) *error = path_ + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    written_at_ = now;
    written_players_ = players;
    return ok;
}

std::optional<PreviousRun> RunMarker::begin(std::int64_t now, std::int32_t players, std::string& error) {
    std::optional<PreviousRun> previous;
    const ReadResult r = read_checked_file(path_, 4096, FileRule::Regular);
    if (r.status == ReadStatus::Ok || r.status == ReadStatus::TooLong) {
        PreviousRun run;
        bool handed = false;
        std::istringstream in(r.text);
        std::string key;
        while (in >> key) {
            if (key == "pid") in >> run.pid;
            else if (key == "started") in >> run.started;
            else if (key == "seen") in >> run.seen;
            else if (key == "players") in >> run.players;
            else if (key == "handing-over") handed = true;
            else in.ignore(4096, '\n');
        }
        // A restart in place runs the new program in this very process: a marker handed over by a
        // process of another id (one killed between its hand-over and its exec, say) tells of a crash.
        if (!handed || run.pid != ::getpid()) previous = run;
    }
    started_ = now;
    active_ = write(now, players, false, &error);
    return previous;
}

void RunMarker::update(std::int64_t now, std::int32_t players) {
    if (!active_) return;
    const std::int64_t since = now - written_at_;
    if (since >= kRewriteAnyway || since < 0 || (players != written_players_ && since >= kRewriteChanged)) {
        write(now, players, false);
    }
}

void RunMarker::hand_over() {
    if (active_) write(written_at_, written_players_, true);
}

void RunMarker::undo_hand_over(std::int64_t now, std::int32_t players) {
    if (active_) write(now, players, false);
}

void RunMarker::end() {
    if (active_) ::unlink(path_.c_str());
    active_ = false;
}

std::string previous_run_line(const PreviousRun& run) {
    std::string line = "the previous run";
    if (run.pid > 0) line += " (process " + std::to_string(run.pid) + ")";
    line += " ended without a clean stop";
    if (run.started > 0 && run.seen >= run.started) {
        line += ", up " + schedule::spoken_duration(run.seen - run.started) + " with " + std::to_string(run.players) +
                (run.players == 1 ? " player" : " players");
    }
    return line + ".";
}

}  // namespace quarel::platform

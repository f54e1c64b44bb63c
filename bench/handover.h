// The hand-over scenario: players in a game while the server is restarted, upgraded or killed, and the
// longest time any of them went without an answer.
#pragma once

#include <cstdint>
#include <string>

namespace quarel::bench {

enum class HandoverWay : std::uint8_t {
    StopAndStart,  // SIGTERM, then a new start handed the stored sockets and record
    Upgrade,       // SIGUSR2: the program file run again in the same process
    KillAndStart,  // kill -9, then a new start 100 ms later with the stored sockets and record
};
const char* handover_way_name(HandoverWay way);

struct HandoverResult {
    std::string error;               // empty when the run could be made
    double longest_gap_ms = 0;       // the longest time one player went without an answer
    double usual_gap_ms = 0;         // the longest gap in the second before the event, for comparison
    std::int64_t players_lost = 0;   // players whose STATEs were no longer answered at the end
    std::int64_t player_gone = 0;    // PLAYER_GONE datagrams received
    std::int64_t ids_names_health_wrong = 0;  // players the end check did not find as they were
    std::int64_t sent = 0;
    std::int64_t answered = 0;
    // The state file (kept by default) written this often while the players moved, before the event.
    double state_writes_per_minute = 0;
};

// `players` join a server on `slots` 64 (named on the chat socket, each hurt by its own amount, all on
// detailed lists), send STATEs at `rate` Hz for `seconds`; `way` happens after a third of it, until
// which every replacement of the state file is counted. At the end one NAME_LIST and one DETAIL_LIST show
// whether every id, name and health came through.
HandoverResult run_handover(const std::string& server_binary, HandoverWay way, int players, double rate, double seconds);

}  // namespace quarel::bench

// What keeping score costs: the server's own code per HEALTH_DELTA and per STATE with the score keeper
// listening against without it, in process; and viewers of the live map beside the game, over HTTP.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace quarel::bench {

struct ScoreCost {
    double ns_per_state = 0;
    double ns_per_health_delta = 0;
};

// `players` players (all named, on detailed lists) through whole loop passes, in CPU time: `datagrams` STATEs, then
// `datagrams` HEALTH_DELTAs of -1 from each player on the next (so that kills, deaths and damage on the
// dead all come), with the score keeper as the server wires it (`scoring`) or without it.
ScoreCost score_cost(std::int32_t players, int datagrams, bool scoring);

// Microseconds of CPU to build one map document of `players` players with their trails and 10 kill marks,
// the work a viewer's request can cost the loop (at most 10 times a second).
double map_document_us(std::int32_t players);

struct MapViewersResult {
    std::int64_t answers = 0;   // map documents answered 200 in full
    std::int64_t failures = 0;  // refused, cut short or not 200
    std::int64_t bytes = 0;     // of the documents
};

// `viewers` viewers of the map, each on a connection of its own (kept open, from a loopback address
// of its own), asking for `path` `per_second` times a second, as the page does, from one thread.
class MapViewers {
public:
    MapViewers(std::uint16_t port, int viewers, double per_second, std::string path);
    ~MapViewers();
    MapViewers(const MapViewers&) = delete;
    MapViewers& operator=(const MapViewers&) = delete;

    MapViewersResult stop();

private:
    void run();

    std::uint16_t port_;
    int viewers_;
    double per_second_;
    std::string path_;
    std::atomic<bool> stop_{false};
    MapViewersResult result_;
    std::thread thread_;
};

}  // namespace quarel::bench

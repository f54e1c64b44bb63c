// The real binary's system calls under load, counted exactly (testkit/state_calls.h): a pass makes no
// call the wait did not ask for, and answers leave in batches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "state_calls.h"
#include "syscall_tracer.h"

namespace quarel::testkit {
namespace {

// The status listener and the file watch on, each a source of the wait, so that their per-pass costs
// show too. The state file and the stats archive are off: the state file's writes are timed (within a
// second of a change, every 5 s for the poses), so their calls would depend on how fast the machine
// answers, and the counts are to be exact.
std::string config_for(int players) {
    return "slots " + std::to_string(players) + "\nhttp 127.0.0.1:0\nwatch_files 1\nanswer_batch_us 0\nstate_file\nstats_file\n";
}

// Calls per answered STATE, a few thousand STATEs at 4 and at 32 players, both ways of feeding them; and
// the calls a quiet server makes in a few seconds. Today: a game read for up to 16 STATEs and a send for
// up to 4 answers, and in rounds one more read and the wait per round (0.5 and 1.0 at 4 players, 0.31
// and 0.38 at 32); one more call per pass or per sleep breaks a budget. While the loop read the list
// writers' eventfds on every pass it made 3.3 calls per answer at 4 players; with one send per answer
// and the empty chat read, 1.25 and 2.0 at 4 players, 1.06 and 1.16 at 32.
TEST(SystemCalls, PerAnsweredStateStayWithinTheirBudgetAndAQuietServerSleeps) {
    // {players, STATEs, budget of calls per answer saturated, and in rounds}
    const struct {
        int players;
        int states;
        double saturated, rounds;
    } cases[] = {{4, 2000, 0.55, 1.1}, {32, 4000, 0.35, 0.45}};
    for (const auto& k : cases) {
        ServerProcess server(config_for(k.players));
        ASSERT_TRUE(server.ready()) << server.output();
        ASSERT_TRUE(server.wait_for_output("HTTP status page on")) << server.output();
        CountedPlayers players = join_players(server, k.players);
        ASSERT_EQ(players.ids.size(), static_cast<std::size_t>(k.players)) << server.output();
        for (const Feed feed : {Feed::Saturated, Feed::Rounds}) {
            const char* how = feed == Feed::Saturated ? "saturated" : "in rounds";
            const CallCount c = count_state_calls(server, players, feed, k.states);
            ASSERT_EQ(c.error, "") << c.summary;
            std::printf("[ calls    ] %d players, %s: %.3f calls per answer (%s; %llu answers)\n", k.players, how,
                        c.per_answer(), c.summary.c_str(), static_cast<unsigned long long>(c.answers));
            EXPECT_LE(c.per_answer(), feed == Feed::Saturated ? k.saturated : k.rounds)
                << k.players << " players, " << how << ": " << c.summary;
        }
        EXPECT_EQ(server.output().find("Timeout."), std::string::npos) << server.output();
    }
    // A quiet server wakes for its timed work only: the world clock's tick every 4 s, its wait and one
    // read of the game socket (a read of each socket the wait did not find readable would be two more).
    // With the state file on, it is written again every 8 s for the clock that moved, which wakes the
    // loop for the writer's report and for a look a second later (about 1.25 calls a second in all,
    // docs/DEVELOPING.md).
    ServerProcess quiet(config_for(4));
    ASSERT_TRUE(quiet.ready());
    ASSERT_TRUE(quiet.wait_for_output("HTTP status page on"));
    // The start-up's last steps (the token file, the file watch) are done well within this.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    SyscallTracer tracer(quiet.pid());
    ASSERT_TRUE(tracer.ok()) << tracer.error();
    const auto start = std::chrono::steady_clock::now();
    const auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    ASSERT_TRUE(tracer.run(nullptr, [&] { return seconds() >= 3.5; }, 10'000)) << tracer.error();
    const double per_second = static_cast<double>(tracer.total()) / seconds();
    std::printf("[ calls    ] quiet: %.2f calls a second (%s)\n", per_second, tracer.summary().c_str());
    EXPECT_LE(per_second, 1.0) << tracer.summary();
}

}  // namespace
}  // namespace quarel::testkit

// The way out for every datagram the server sends, the STATE answers held back on the way, and the
// counts of what leaves.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "core/metrics.h"
#include "net/transport.h"
#include "protocol/framing.h"
#include "protocol/messages.h"

namespace quarel::core {

// Every send of the server goes through one Outbox, which owns the send side of the transport, the two
// send disciplines and the counts of what is sent: each datagram the socket took (by socket and type),
// each game send the socket refused (a retry), each send given up, and the time from reading a STATE to
// handing its answer to the socket.
//
// Datagrams leave in batches where the transport can send several with one system call: the STATE
// answers held back (below), and one datagram to many players (a Fanout: the BRIEF_LIST after a join,
// PLAYER_GONE, NAME_LIST, chat lines, relays). The order is always the order of the calls, and each
// datagram keeps its discipline: a send-until-accepted datagram the socket refuses is tried again every
// 1 ms, the ones after it wait their turn; a send-once datagram refused is lost and the next goes on.
//
// While more game datagrams are already read ahead, up to kHeld STATE answers are held back so that
// their checksums are computed side by side (for long lists about four times the speed of one after
// another); with a gathering window (`answer_batch_us`) long answers (big games) are also held while
// nothing more is read ahead, for at most that long after their STATE was read, so that STATEs arriving
// close together are answered together. The Outbox alone decides when they leave, always in the order of their STATEs:
// once kHeld are held; before any other send, on either socket; before the handler of any other game
// datagram runs; when the read-ahead has run dry and the window (if any) has passed since the first
// held STATE was read; and at flush(), which the loop calls at a clean stop. What is sent never
// changes, only when. For this the loop tells it of every pass (new_pass) and of every read of the game
// socket: game_read() when a datagram came, before_handler() before its handler runs,
// after_game_read() once the read is dealt with, whatever came of it; and it wakes for due_us().
class Outbox {
public:
    static constexpr std::size_t kHeld = 4;
    // Datagrams handed to the transport at once.
    static constexpr std::size_t kBatch = 64;
    // The gathering window holds only answers at least this long (a list of about 175 players): a
    // shorter one costs too little to checksum for its wait, and a wake-up at the window's end, to pay.
    static constexpr std::size_t kGatherFromBytes = 8192;

    // How long send-until-accepted keeps trying while the kernel refuses a datagram: this many 1 ms
    // pauses. Then the datagram is dropped (a game datagram is counted): a send queue that stays full
    // must not stall the loop, and every other player with it.
    static constexpr std::uint32_t kRetryLimitMs = 50;
    // And the pauses of all the sends of one pass together: once a pass has paused this long, a
    // datagram the socket refuses is dropped at once (and counted), so that a broadcast over a send
    // queue that stays full stalls the loop once, not once per recipient.
    static constexpr std::uint32_t kPassPauseLimitMs = 50;

    enum class Discipline : std::uint8_t {
        Game,               // send-until-accepted on the game socket
        ChatUntilAccepted,  // the answers to the two server queries
        ChatOnce,           // every other chat send: one try, the outcome not examined
    };

    Outbox(net::Transport& net, net::Clock& clock, Metrics& metrics) : net_(net), clock_(clock), metrics_(metrics) {}
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Send-until-accepted on the game socket: while the socket would block, pause 1 ms and try again,
    // at most kRetryLimitMs times (fewer when the pass has used up its pauses). Any other outcome, an
    // error included, ends the attempt.
    void game(const net::Address& to, std::span<const std::uint8_t> datagram) { one(Discipline::Game, to, datagram); }
    // The chat socket: send-until-accepted for the answers to the two server queries, send-once (the
    // outcome is not examined) for everything else.
    void chat_until_accepted(const net::Address& to, std::span<const std::uint8_t> datagram) {
        one(Discipline::ChatUntilAccepted, to, datagram);
    }
    void chat_once(const net::Address& to, std::span<const std::uint8_t> datagram) { one(Discipline::ChatOnce, to, datagram); }

    // One datagram to many recipients, as if sent to each in turn, gathered into batches: to() adds a
    // recipient, and what is gathered leaves when the batch is full and when the Fanout ends. The
    // datagram's bytes must stay as they are until then.
    class Fanout {
    public:
        Fanout(const Fanout&) = delete;
        Fanout& operator=(const Fanout&) = delete;
        ~Fanout() { out_.send_gathered(); }
        void to(const net::Address& a) { out_.gather(a, bytes_); }

    private:
        friend class Outbox;
        Fanout(Outbox& out, std::span<const std::uint8_t> bytes) : out_(out), bytes_(bytes) {}
        Outbox& out_;
        std::span<const std::uint8_t> bytes_;
    };
    Fanout fanout(Discipline d, std::span<const std::uint8_t> datagram) {
        begin_gathering(d);
        return Fanout(*this, datagram);
    }
    Fanout game_each(std::span<const std::uint8_t> datagram) { return fanout(Discipline::Game, datagram); }
    Fanout chat_once_each(std::span<const std::uint8_t> datagram) { return fanout(Discipline::ChatOnce, datagram); }

    // The answer to a STATE, for `to`: `write(place)` writes it, unsealed, at `place` and returns its
    // length. With nothing held, no gathering window and no more game datagrams read ahead, the place is
    // `direct` (the packet buffer) and the answer is sealed and sent at once; otherwise it is a held
    // place of `longest` bytes and the answer is held (but for one that only the window would hold and
    // that is shorter than kGatherFromBytes: it leaves at once from there).
    template <class Write>
    void answer(const net::Address& to, std::span<std::uint8_t> direct, std::size_t longest, Write&& write) {
        const bool alone = count_ == 0 && net_.waiting(net::Socket::Game) == 0;
        if (alone && gather_us_ == 0) {
            const std::size_t n = write(direct);
            protocol::seal(direct, n);
            send_answer(direct.first(n), to, read_us_);
            return;
        }
        Held& h = held_[count_];
        h.to = to;
        h.read_us = read_us_;
        const std::span<std::uint8_t> place = held_place(count_, longest);
        h.size = write(place);
        if (alone && h.size < kGatherFromBytes) {
            protocol::seal(place, h.size);
            send_answer(place.first(h.size), to, read_us_);
            return;
        }
        if (++count_ == kHeld) flush();
    }

    // A pass begins: its pauses start from none, and `gather_us` (the `answer_batch_us` setting; 0:
    // none) is the window from now on. Held answers whose window has passed leave now.
    void new_pass(std::int64_t gather_us);
    // A game datagram was read: the answer it may get is timed from now.
    void game_read() { read_us_ = clock_.monotonic_us(); }
    // The handler of a game datagram of `type` is about to run. A STATE's answer may join the held
    // ones; before any other handler they leave, so that all it does (its lines, its sends, its reading
    // of the clock) comes after them, as if nothing had been held. True when that send had to pause:
    // time may have passed, and the handler is to be given a fresh reading of the clock.
    bool before_handler(std::uint8_t type) { return type != protocol::game_in::STATE && flush(); }
    // A read of the game socket is dealt with, whatever came of it: held answers never outlive the
    // read-ahead that let them wait, nor their window.
    void after_game_read() {
        if (count_ > 0 && net_.waiting(net::Socket::Game) == 0 && (!gathering() || window_passed())) flush();
    }
    // Seals the held answers side by side and sends them in the order of their STATEs. True when a
    // send had to pause.
    bool flush();
    // The monotonic microsecond (the clock's monotonic_us()) by which the held answers must leave, -1
    // when none waits for its window.
    std::int64_t due_us() const { return count_ > 0 && gathering() ? held_[0].read_us + gather_us_ : -1; }

    std::size_t held() const { return count_; }
    // Whether a send has paused for its socket since the last call, which forgets it: time may have
    // passed, so the loop reads the clock again. The loop's clock of the pass is the one to ask.
    bool paused() { return std::exchange(paused_, false); }

private:
    struct Held {
        net::Address to;
        std::size_t size = 0;
        std::int64_t read_us = 0;
    };

    // Whatever was asked for before leaves before what is asked for now.
    void before_send() {
        if (gathered_ > 0) send_gathered();
        flush();
    }
    void one(Discipline d, const net::Address& to, std::span<const std::uint8_t> datagram) {
        before_send();
        const net::Outgoing o{&to, datagram};
        deliver(d, std::span(&o, 1));
    }
    void begin_gathering(Discipline d) {
        before_send();
        gathering_ = d;
    }
    void gather(const net::Address& a, std::span<const std::uint8_t> bytes) {
        to_[gathered_] = a;
        batch_[gathered_] = {&to_[gathered_], bytes};
        if (++gathered_ == kBatch) send_gathered();
    }
    void send_gathered() {
        deliver(gathering_, std::span(batch_).first(std::exchange(gathered_, 0)));
    }
    // One answer sent at once, and timed.
    bool send_answer(std::span<const std::uint8_t> answer, const net::Address& to, std::int64_t read_us);
    // Sends `batch` with discipline `d`, in order, each datagram by its discipline; true when a send
    // had to pause.
    bool deliver(Discipline d, std::span<const net::Outgoing> batch);
    bool window_passed() const { return clock_.monotonic_us() >= held_[0].read_us + gather_us_; }
    // Whether the held answers wait for the window once nothing more is read ahead: only long ones do
    // (the answers of one pass list the same players, so the first tells).
    bool gathering() const { return gather_us_ > 0 && held_[0].size >= kGatherFromBytes; }
    // Held place `i`; room for all of them is made at the first use.
    std::span<std::uint8_t> held_place(std::size_t i, std::size_t longest) {
        if (!storage_) make_room(longest);
        assert(longest <= capacity_);
        return {held_at(i), capacity_};
    }
    void make_room(std::size_t longest);
    std::uint8_t* held_at(std::size_t i) { return storage_.get() + i * capacity_; }

    net::Transport& net_;
    net::Clock& clock_;
    Metrics& metrics_;
    // kHeld places of `capacity_` bytes each, made at the first use, then kept. Left uninitialised:
    // only the pages that answers are written into become resident.
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::array<Held, kHeld> held_{};
    std::size_t count_ = 0;
    // When the game datagram being handled was read (the clock's monotonic_us()).
    std::int64_t read_us_ = 0;
    std::int64_t gather_us_ = 0;
    // A Fanout's datagrams not yet handed over: its discipline, the recipients, the batch.
    Discipline gathering_ = Discipline::Game;
    std::array<net::Address, kBatch> to_{};
    std::array<net::Outgoing, kBatch> batch_{};
    std::size_t gathered_ = 0;
    std::uint32_t pass_pauses_ = 0;
    bool paused_ = false;
};

}  // namespace quarel::core

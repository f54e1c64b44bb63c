// The HTTP listener over libmicrohttpd, run inside the main loop: no thread of its own. It joins the
// loop's wait with its epoll descriptor and its next timer, and serve(), called in the loop pass,
// answers whatever is ready; every complete request goes to one handler, on the loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/address.h"
#include "net/http.h"
#include "net/http_listener.h"
#include "net/range.h"
#include "net/transport.h"
#include "platform/wait.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace quarel::platform {

// Open connections at once (more wait unaccepted until one closes), or fewer when the process may
// not open that many files: each listener keeps within half of the open-file limit, less
// kHttpFilesKept for everything else the server opens.
constexpr unsigned kHttpConnections = 2048;
constexpr unsigned kHttpFilesKept = 64;
// Open connections from one client address at once; more are closed as soon as they are accepted.
// One source cannot take every place and lock everybody else out. A peer inside `trusted_proxies`
// speaks for many: its connections count for the caller its X-Forwarded-For names, each while a
// request of that caller is under way (its headers in, its answer not yet sent: an event stream is
// under way as long as it lasts), and a request over the caller's kHttpPerSource is answered 429.
constexpr unsigned kHttpPerSource = 8;
// A request (line, headers and body) must be in whole this long after its connection opened, or after
// the answer before it on the same connection; otherwise the connection is closed. A client trickling
// its request a byte at a time, which the idle time never closes, holds a place this long at most.
constexpr unsigned kHttpRequestSeconds = 5;
constexpr unsigned kHttpIdleSeconds = 10;  // a connection silent this long (say, not reading its answer) is closed
// Request line and headers; beyond: libmicrohttpd's own refusal.
constexpr std::size_t kHttpHeaderBytes = 16384;
constexpr std::size_t kHttpBodyBytes = 8192;  // request body; beyond: 413

// The library refuses a Content-Length it cannot read with an answer of its own, then carries on as if
// the request were fine and writes the head of that answer a second time. It says so only in these log
// messages (libmicrohttpd 0.9.75's own wording, pinned by a test against the library the server runs
// with), which make the listener answer in its stead.
inline constexpr const char* kLibraryLengthTooLarge = "Too large value of 'Content-Length' header. Closing connection.\n";
inline constexpr const char* kLibraryLengthUnreadable = "Failed to parse `Content-Length' header. Closing connection.\n";

using HttpHandler = std::function<net::HttpResponse(const net::HttpRequest&)>;

// What a listener checks callers against, read at each request (a reload may change them): the
// reverse proxies whose X-Forwarded-For names the caller, and the names a listener on a loopback or
// private address answers to besides its addresses. Without a list of names any Host is answered (a
// service whose every page is public, such as the lobby).
struct HttpGuards {
    const std::vector<net::Range>* trusted_proxies = nullptr;
    const std::vector<std::string>* http_hosts = nullptr;
};

// Before a request reaches the handler, once its headers are in, the listener refuses one whose length
// can be read two ways, with two Transfer-Encoding lines, a blank before a header's colon, two Host
// lines or a NUL in its path (400), one whose Host does not name the listener (421, net::host_allowed
// with the guards' `http_hosts`), one from a trusted proxy whose X-Forwarded-For is not a list of addresses (400),
// and one over its caller's places (429). The connection is closed after each: what follows a request
// answered before its body was read cannot be told from a request of its own.
class HttpServer final : public net::HttpListener, public WaitSource {
public:
    // Binds `where` and starts listening. Nothing (and `error` set to the reason, e.g. "Address
    // already in use") when that fails. `inherited`, a listening socket handed over by the previous
    // process, is taken instead when it listens on `where` (any port when `where` asks for port 0),
    // and closed otherwise. The lists `guards` points to and `clock` (the loop's: its monotonic time runs the request deadlines) must outlive the listener.
    static std::unique_ptr<HttpServer> start(const net::Address& where, HttpHandler handler, std::string& error,
                                             HttpGuards guards, net::Clock& clock, int inherited = -1);
    ~HttpServer() override;
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Runs the library when the wait found its descriptor ready, a run is owed, a stream has bytes for
    // a suspended answer or a timer is due; otherwise returns at once, without a system call.
    void serve(std::int64_t now) override;
    // The epoll descriptor (readable when serve() has something to do), and the time until serve() has
    // timed work; 0 while a run is owed.
    int watch(std::vector<pollfd>& fds) override;
    // The epoll descriptor is readable: the next serve() runs the library.
    void woke(std::span<const pollfd>) override { ready_ = true; }
    // Readable when serve() has something to do.
    int fd() const;
    // The listening socket, to be handed over.
    int listen_fd() const;
    // After the hand-over: takes no more connections (the listening socket is the next program's now,
    // closed here unless `keep_listening`: it goes to a program run in this process) and answers those
    // open, for at most `timeout_ms`. The listener then serves nothing more.
    void finish_answers(std::int64_t now, int timeout_ms = 1000, bool keep_listening = false);
    // Milliseconds until serve() has timed work (a connection to close), -1 when none.
    int timeout_ms() const;
    // The port listened on (the one chosen when `where` asked for port 0).
    std::uint16_t port() const { return port_; }
    // The connections it holds open at most.
    unsigned places() const { return places_; }

    struct Request;  // one request being received
    struct StreamHold;  // an answer whose body is a net::HttpStream

private:
    HttpServer(HttpHandler handler, HttpGuards guards, net::Clock& clock)
        : handler_(std::move(handler)), guards_(guards), clock_(clock) {}
    bool trusted_proxy(const net::Address& peer) const {
        return guards_.trusted_proxies != nullptr && net::any_contains(*guards_.trusted_proxies, peer);
    }

    // Whom places are counted for: an address (any port).
    using Source = std::pair<std::array<std::uint8_t, 16>, std::uint32_t>;
    static Source source_of(const net::Address& a) { return {a.ip, a.scope}; }

    // A connection open: by its serial number (its socket context in the library), the connection
    // and the time its request is due, 0 while none is awaited (the request is in, its answer goes out).
    struct Place {
        MHD_Connection* connection;
        std::int64_t due_ms;
        bool handled;  // the handler has seen the headers of the request under way
        net::Address local;  // the listener's address the connection reached
        std::optional<Source> peer;    // counted for its peer's address (no trusted proxy's)
        std::optional<Source> caller;  // a trusted proxy's: counted for the caller of the request under way
    };
    // The places of `source` one fewer.
    void release(const Source& source);
    // The request of connection `serial` is due kHttpRequestSeconds from now.
    void await_request(std::uint64_t serial);
    // Closes the connections whose request is overdue, as of `now_ms`.
    void close_overdue(std::int64_t now_ms);
    // Answers, in the library's stead, the request whose Content-Length it is refusing right now.
    void refuse_length(bool too_large);
    // Queues an answer whose body is its stream; the connection has no idle time-out then (the
    // stream's own rules close it). False when it could not be queued.
    bool queue_stream(MHD_Connection* connection, const net::HttpResponse& r);
    // Lets the library go on with the streams that were waiting for bytes and have some now, and with
    // the requests whose answer given later is ready; true when it did with any.
    bool resume_ready_streams();
    // Queues the answer given later to `request`, now ready.
    int queue_later(Request& request);
    // Closes the connections of the streams that were aborted while the library waits for their socket
    // to take more (a client that stopped reading); true when it closed any.
    bool close_aborted_streams();
    std::int64_t now_ms() const { return clock_.monotonic_us() / 1000; }

    HttpHandler handler_;
    HttpGuards guards_;
    net::Clock& clock_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
    unsigned places_ = 0;
    std::uint64_t serials_ = 0;
    std::unordered_map<std::uint64_t, Place> open_;
    std::map<Source, unsigned> places_of_;  // the places each source holds, while it holds any
    // (due time, serial) in the order they were set, which is the order of the times: the first is the
    // next to check. An entry whose connection closed, or got its request in, is passed over.
    std::deque<std::pair<std::int64_t, std::uint64_t>> due_;
    std::uint64_t connection_events_ = 0;  // connections opened and released so far
    std::int64_t now_ = 0;                 // the calendar second of the serve() under way
    bool run_owed_ = false;                // the last serve() stopped while runs still made progress
    bool ready_ = false;                   // the wait found the epoll descriptor readable since the last run
    // The answers under way whose body is a stream; those suspended wait for bytes, the library does
    // not ask for them until they are resumed.
    std::vector<StreamHold*> streams_;
    // The requests whose answer comes later (net::HttpLater), their connections suspended until it is ready.
    std::vector<Request*> laters_;

    // Runs of the library in one serve(), at most.
    static constexpr int kRunsPerServe = 4;

    friend struct Callbacks;
};

}  // namespace quarel::platform

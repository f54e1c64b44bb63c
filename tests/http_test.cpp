// The HTTP listener in this process, on loopback, run as the loop runs it (the wait, then serve()) on a
// manual clock: an event stream whose client stops reading is closed by the server's own deadline; the
// library's refusals of a Content-Length are recognised by its own wording.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "admin/events.h"
#include "manual_clock.h"
#include "platform/http_server.h"
#include "process.h"

using namespace quarel;

namespace {

// A loopback client from 127.0.0.`source` with a small receive buffer, which reads only when told.
struct Client {
    Client(std::uint16_t port, std::uint8_t source) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in from{AF_INET, 0, {htonl(0x7F000000u | source)}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected = ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() { ::close(fd); }
    bool send(const std::string& text) const { return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size()); }
    // What is waiting now: bytes, "" once the server closed (or reset) the connection, nothing when none.
    std::optional<std::string> take() const {
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return std::string();
        return std::nullopt;
    }
    int fd;
    bool connected = false;
};

const std::string kStreamRequest = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

}  // namespace

// Two streams, one whose client reads its answer's head and then nothing more (a tab asleep), one that
// reads everything. Events go out until the deaf client's socket takes no more; the library then never
// asks its stream for bytes again, yet 30 s after the client last took any (on the loop's clock) the
// server closes the connection itself, and the stream's place is free. The reader goes on.
TEST(HttpListener, AStreamWhoseClientStopsReadingIsClosedOnTheServersClock) {
    testkit::ManualClock clock;
    core::Settings settings;
    admin::EventHub hub([] { return core::LocalTime{}; });
    std::weak_ptr<net::HttpStream> deaf_stream;
    std::string error;
    auto listener = platform::HttpServer::start(
        net::Address::ipv4(127, 0, 0, 1, 0),
        [&](const net::HttpRequest& r) {
            net::HttpResponse answer;
            answer.stream = hub.open(std::nullopt, r.peer);
            answer.content_type = "text/event-stream";
            if (r.peer.ip[15] == 2) deaf_stream = answer.stream;
            return answer;
        },
        error, {&settings.trusted_proxies, &settings.http_hosts}, clock);
    ASSERT_TRUE(listener) << error;
    // The loop's wait, which tells the listener when its descriptor is ready, then the pass.
    platform::WorkWait wait;
    wait.add(*listener);
    const auto pass = [&] {
        wait.for_ms(0);
        listener->serve(clock.now());
        hub.tick(clock.monotonic);
    };
    Client reader(listener->port(), 1), deaf(listener->port(), 2);
    ASSERT_TRUE(reader.connected && deaf.connected);
    ASSERT_TRUE(reader.send(kStreamRequest) && deaf.send(kStreamRequest));
    std::string head;
    for (int i = 0; i < 200 && head.find("\r\n\r\n") == std::string::npos; ++i) {
        pass();
        pollfd p{deaf.fd, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) head += deaf.take().value_or("");
    }
    ASSERT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << head;
    ASSERT_EQ(hub.open_streams(), 2u);

    // 4 KiB events, a millisecond apart, until the deaf stream keeps bytes the library no longer takes:
    // once the kernel holds all it will for the client (on loopback, megabytes), and far fewer than
    // would put the stream over its buffer.
    long wmem_max = 0;
    std::sscanf(testkit::read_file("/proc/sys/net/ipv4/tcp_wmem").c_str(), "%*s %*s %ld", &wmem_max);
    const std::size_t bound = static_cast<std::size_t>(std::max(wmem_max, 4L << 20)) + (1u << 20);
    const std::string event(4096, 'e');
    int unsent_passes = 0;
    std::size_t fed = 0;
    for (; fed < bound && unsent_passes < 20; fed += event.size()) {
        hub.line({.kind = core::LogKind::Say}, event + "\n");
        clock.monotonic += 1000;
        for (int i = 0; i < 3; ++i) pass();
        while (reader.take()) {
        }
        const auto stream = deaf_stream.lock();
        ASSERT_TRUE(stream && !stream->aborted()) << fed;
        unsent_passes = stream->ready() ? unsent_passes + 1 : 0;
    }
    ASSERT_EQ(unsent_passes, 20) << "the deaf client's socket still took bytes after " << fed;
    const std::int64_t stalled_from = clock.monotonic;

    clock.monotonic = stalled_from + admin::kStalledStreamUs - 1'000'000;
    for (int i = 0; i < 5; ++i) pass();
    EXPECT_EQ(hub.open_streams(), 2u);
    EXPECT_EQ(listener->timeout_ms(), -1) << "nothing for the listener to do before the deadline";
    clock.monotonic = stalled_from + admin::kStalledStreamUs;
    pass();
    EXPECT_EQ(listener->timeout_ms(), 0) << "the aborted stream's connection is closed at the next serve()";
    for (int i = 0; i < 50 && hub.open_streams() > 1; ++i) {
        pass();
        pollfd p{-1, 0, 0};
        ::poll(&p, 0, 2);
    }
    EXPECT_EQ(hub.open_streams(), 1u) << "the deaf stream's place is free";
    std::optional<std::string> got;
    for (int i = 0; i < 1000 && (got = deaf.take()) && !got->empty(); ++i) {
    }
    EXPECT_EQ(got, std::string()) << "the deaf client's connection is closed";
    hub.line({.kind = core::LogKind::Say}, "still here\n");
    std::string read;
    for (int i = 0; i < 100 && read.find("still here") == std::string::npos; ++i) {
        pass();
        read += reader.take().value_or("");
    }
    EXPECT_NE(read.find("still here"), std::string::npos);
}

// The listener answers a Content-Length the library refuses in its stead, recognising the refusal by the
// library's log message: the library the server runs with holds that wording, once each.
TEST(HttpListener, TheLibrarysContentLengthRefusalsAreWordedAsTheListenerExpects) {
    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&MHD_start_daemon), &info), 0);
    const std::string library = testkit::read_file(info.dli_fname);
    ASSERT_FALSE(library.empty()) << info.dli_fname;
    for (const char* wording : {platform::kLibraryLengthTooLarge, platform::kLibraryLengthUnreadable}) {
        const std::string text(wording, std::strlen(wording) + 1);  // with its end: the whole message
        std::size_t found = 0;
        for (std::size_t at = library.find(text); at != std::string::npos; at = library.find(text, at + 1)) ++found;
        EXPECT_EQ(found, 1u) << info.dli_fname << ": " << wording;
    }
}

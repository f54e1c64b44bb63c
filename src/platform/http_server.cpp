// HttpServer: libmicrohttpd in external-select mode with its epoll descriptor, a listening socket we
// bind ourselves (so a failure has its errno to report), and the request plumbing.
#include "platform/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "net/forwarded.h"
#include "platform/sockaddr.h"
#include "status/status.h"

namespace quarel::platform {

struct HttpServer::Request {
    std::string query;
    std::string body;
    bool started = false;      // the handler has seen the headers
    bool nul_in_path = false;  // the path holds %00, which the library decodes and cuts the path at
};

struct HttpServer::StreamHold {
    HttpServer* server;
    MHD_Connection* connection;
    std::shared_ptr<net::HttpStream> stream;
    bool suspended = false;
};

namespace {

// A non-blocking listening TCP socket on `where`, or -1 with errno telling why.
int listen_on(const net::Address& where) {
    sockaddr_storage ss;
    const bool v6 = !where.is_ipv4();
    const socklen_t len = to_sockaddr(where, v6, ss);
    const int family = v6 ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // An IPv6 address means that address alone; "[::]" does not take IPv4 peers as well.
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // Connections beyond the places wait here, in the order they came.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The places one listener may hold: kHttpConnections, or what fits half of the open-file limit (two
// listeners at most) after kHttpFilesKept for the rest.
unsigned places_within_file_limit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kHttpConnections;
    const rlim_t room = r.rlim_cur > 2 * kHttpFilesKept ? (r.rlim_cur - kHttpFilesKept) / 2 : kHttpFilesKept / 2;
    return static_cast<unsigned>(std::min<rlim_t>(kHttpConnections, room));
}

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MHD_Result queue(MHD_Connection* connection, const net::HttpResponse& r) {
    MHD_Response* response =
        MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
    for (const auto& [name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return ok;
}

// An answer of the listener's own, with the headers every answer of the server carries.
net::HttpResponse plain(int status, const char* body) {
    net::HttpResponse r;
    r.status = status;
    r.body = body;
    status::add_common_headers(r, "no-store");
    return r;
}

// A refusal after which the connection is closed: what follows the request on it cannot be trusted
// to start a request of its own.
net::HttpResponse closing(int status, const char* body) {
    net::HttpResponse r = plain(status, body);
    r.headers.emplace_back("Connection", "close");
    return r;
}

// The answer as it goes on the wire, for the one answer written past the library.
std::string wire(const net::HttpResponse& r) {
    const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(r.status));
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason + "\r\nContent-Type: " + r.content_type + "\r\n";
    for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
    return out + "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
}

// How many Content-Length and Transfer-Encoding headers a request has.
struct Framing {
    int lengths = 0;
    int encodings = 0;
};

MHD_Result count_framing(void* cls, MHD_ValueKind, const char* key, const char*) {
    auto* f = static_cast<Framing*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) ++f->lengths;
    if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) ++f->encodings;
    return MHD_YES;
}

// The X-Forwarded-For headers, joined in order as one list: a proxy may add its own header after the
// client's rather than extend it. Once longer than net::kMaxForwardedFor, the rest is not taken.
MHD_Result join_forwarded_for(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* joined = static_cast<std::string*>(cls);
    if (strcasecmp(key, "X-Forwarded-For") != 0 || joined->size() > net::kMaxForwardedFor) return MHD_YES;
    if (!joined->empty()) *joined += ", ";
    *joined += value != nullptr ? value : "";
    return MHD_YES;
}

// The connection's serial number, which its socket context holds.
std::uint64_t serial_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? reinterpret_cast<std::uintptr_t>(info->socket_context) : 0;
}

}  // namespace

// libmicrohttpd's callbacks, friends of the server so that they reach its handler.
struct Callbacks {
    // Called when the request line is in: the request's own record starts here, with the raw query
    // text (libmicrohttpd splits the query into arguments and keeps no raw copy).
    static void* on_uri(void*, const char* uri, MHD_Connection*) {
        auto* request = new (std::nothrow) HttpServer::Request;
        if (request == nullptr) return nullptr;
        const char* q = std::strchr(uri, '?');
        if (q != nullptr) request->query = q + 1;
        const std::string_view path(uri, q != nullptr ? static_cast<std::size_t>(q - uri) : std::strlen(uri));
        request->nul_in_path = path.find("%00") != std::string_view::npos;
        return request;
    }

    // A connection opens (its request is due from now) or closes.
    static void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<HttpServer*>(cls);
        ++self->connection_events_;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const std::uint64_t serial = ++self->serials_;
            *socket_context = reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial));
            self->open_[serial] = {connection, 0, false};
            self->await_request(serial);
        } else {
            self->open_.erase(reinterpret_cast<std::uintptr_t>(*socket_context));
        }
    }

    // The library's own messages say nothing to the console. One is acted on: the library refuses a
    // Content-Length it cannot read (too many digits, a sign) with an answer of its own, then carries
    // on as if the request were fine and writes the answer's head a second time.
    static void on_log(void* cls, const char* format, va_list) {
        if (std::strstr(format, "'Content-Length' header") != nullptr) {
            static_cast<HttpServer*>(cls)->refuse_length(true);
        } else if (std::strstr(format, "`Content-Length' header") != nullptr) {
            static_cast<HttpServer*>(cls)->refuse_length(false);
        }
    }

    // A request is done with: on a connection kept open, the next one is due from now.
    static void on_completed(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode) {
        delete static_cast<HttpServer::Request*>(*con_cls);
        *con_cls = nullptr;
        static_cast<HttpServer*>(cls)->await_request(serial_of(connection));
    }

    // The request is in whole (or refused): nothing more is awaited from the client until its answer
    // has gone out.
    static MHD_Result answer(HttpServer* self, MHD_Connection* connection, MHD_Result queued) {
        if (const auto place = self->open_.find(serial_of(connection)); place != self->open_.end()) {
            place->second.due_ms = 0;
        }
        return queued;
    }

    static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                 const char*, const char* upload_data, std::size_t* upload_data_size,
                                 void** con_cls) {
        auto* self = static_cast<HttpServer*>(cls);
        auto* request = static_cast<HttpServer::Request*>(*con_cls);
        if (request == nullptr) return MHD_NO;  // out of memory when it began: close the connection
        if (!request->started) {
            request->started = true;
            if (const auto place = self->open_.find(serial_of(connection)); place != self->open_.end()) {
                place->second.handled = true;
            }
            // The headers are in. Two lengths, or a length beside a transfer coding, can be read two ways;
            // a proxy in front that reads it the other way would take the rest of the body for a request
            // of its own.
            Framing framing;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &count_framing, &framing);
            if (framing.lengths > 1 || (framing.lengths > 0 && framing.encodings > 0)) {
                return answer(self, connection, queue(connection, closing(400, "ambiguous request length\n")));
            }
            if (request->nul_in_path) return answer(self, connection, queue(connection, closing(400, "NUL in the path\n")));
            // A body announced larger than the limit is refused before it is sent.
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length != nullptr) {
                errno = 0;
                char* end = nullptr;
                const unsigned long long n = std::strtoull(length, &end, 10);
                if (errno != 0 || end == length || n > kHttpBodyBytes) {
                    return answer(self, connection, queue(connection, plain(413, "request too large\n")));
                }
            }
            return MHD_YES;
        }
        if (*upload_data_size > 0) {
            // A body sent without a length (chunked) that outgrows the limit: there is nobody to
            // answer, the connection is closed.
            if (request->body.size() + *upload_data_size > kHttpBodyBytes) return MHD_NO;
            request->body.append(upload_data, *upload_data_size);
            *upload_data_size = 0;
            return MHD_YES;
        }
        net::HttpRequest r;
        r.method = method;
        r.path = url;
        r.query = std::move(request->query);
        r.body = std::move(request->body);
        r.now = self->now_;
        if (const char* auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION)) {
            r.authorization = auth;
        }
        if (const char* last = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID")) {
            r.last_event_id = last;
        }
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &join_forwarded_for, &r.forwarded_for);
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            r.peer = from_sockaddr(info->client_addr);
        }
        net::HttpResponse response;
        try {
            response = self->handler_(r);
        } catch (...) {
            // Nothing a handler throws may reach the loop.
            response = plain(500, "internal error\n");
        }
        if (response.stream) return answer(self, connection, self->queue_stream(connection, response) ? MHD_YES : MHD_NO);
        return answer(self, connection, queue(connection, response));
    }

    // The library asks for more of a stream's body. With nothing to send now the connection is
    // suspended (the library would otherwise ask again at every run) until serve() resumes it.
    static ssize_t read_stream(void* cls, std::uint64_t, char* buf, std::size_t max) {
        auto* hold = static_cast<HttpServer::StreamHold*>(cls);
        const long n = hold->stream->read(buf, max);
        if (n > 0) return n;
        if (n == net::HttpStream::kEnd) return MHD_CONTENT_READER_END_OF_STREAM;
        if (n == net::HttpStream::kAbort) return MHD_CONTENT_READER_END_WITH_ERROR;
        MHD_suspend_connection(hold->connection);
        hold->suspended = true;
        return 0;
    }

    static void free_stream(void* cls) {
        auto* hold = static_cast<HttpServer::StreamHold*>(cls);
        std::erase(hold->server->streams_, hold);
        delete hold;
    }
};

bool HttpServer::queue_stream(MHD_Connection* connection, const net::HttpResponse& r) {
    auto* hold = new (std::nothrow) StreamHold{this, connection, r.stream};
    if (hold == nullptr) return false;
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Callbacks::read_stream, hold,
                                                               &Callbacks::free_stream);
    if (response == nullptr) {
        delete hold;
        return false;
    }
    streams_.push_back(hold);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
    for (const auto& [name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    // The end of a stream is the end of its connection: nothing waits on it for a next request (a stop
    // or a hand-over then has no idle connection to wait for).
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    const MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return ok == MHD_YES;
}

bool HttpServer::resume_ready_streams() {
    bool resumed = false;
    for (StreamHold* hold : streams_) {
        if (!hold->suspended || !hold->stream->ready()) continue;
        hold->suspended = false;
        MHD_resume_connection(hold->connection);
        resumed = true;
    }
    return resumed;
}

std::unique_ptr<HttpServer> HttpServer::start(const net::Address& where, HttpHandler handler, std::string& error,
                                              int inherited) {
    int fd = -1;
    if (inherited >= 0) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int listening = 0;
        socklen_t opt_len = sizeof listening;
        const bool usable = getsockname(inherited, reinterpret_cast<sockaddr*>(&ss), &len) == 0 &&
                            getsockopt(inherited, SOL_SOCKET, SO_ACCEPTCONN, &listening, &opt_len) == 0 && listening;
        const net::Address at = from_sockaddr(reinterpret_cast<const sockaddr*>(&ss));
        if (usable && at.ip == where.ip && (where.port == 0 || at.port == where.port)) {
            fd = inherited;
        } else {
            ::close(inherited);
        }
    }
    if (fd < 0) fd = listen_on(where);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<HttpServer> server(new HttpServer(std::move(handler)));
    server->port_ = local_port(fd);
    server->places_ = places_within_file_limit();
    const unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME |
                           (where.is_ipv4() ? 0u : static_cast<unsigned>(MHD_USE_IPv6));
    server->daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::on_request, server.get(),
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
        MHD_OPTION_CONNECTION_LIMIT, server->places_,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kHttpPerSource,
        MHD_OPTION_CONNECTION_TIMEOUT, kHttpIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kHttpHeaderBytes,
        MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::on_uri, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::on_completed, server.get(),
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::on_connection, server.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::on_log, server.get(),
        MHD_OPTION_END);
    if (server->daemon_ == nullptr) {
        ::close(fd);
        error = "the HTTP library did not start";
        return nullptr;
    }
    return server;
}

int HttpServer::listen_fd() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_LISTEN_FD);
    return info != nullptr ? info->listen_fd : -1;
}

HttpServer::~HttpServer() {
    if (daemon_ == nullptr) return;
    // The library refuses to stop while a connection is suspended.
    for (StreamHold* hold : streams_) {
        if (std::exchange(hold->suspended, false)) MHD_resume_connection(hold->connection);
    }
    MHD_stop_daemon(daemon_);
}

void HttpServer::await_request(std::uint64_t serial) {
    const auto place = open_.find(serial);
    if (place == open_.end()) return;
    place->second.due_ms = steady_ms() + kHttpRequestSeconds * 1000;
    place->second.handled = false;
    due_.emplace_back(place->second.due_ms, serial);
}

// The socket is shut, not closed: the library sees the end of the stream at its next run and closes
// the connection as any other that the client ended.
void HttpServer::close_overdue(std::int64_t now_ms) {
    while (!due_.empty() && due_.front().first <= now_ms) {
        const auto [due, serial] = due_.front();
        due_.pop_front();
        const auto place = open_.find(serial);
        if (place == open_.end() || place->second.due_ms != due) continue;
        place->second.due_ms = 0;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(place->second.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) ::shutdown(info->connect_fd, SHUT_RDWR);
    }
}

// The request is the one whose headers are in (their size is known), that the handler has not seen
// and that has no answer queued yet: the library is between reading its headers and answering them.
// The answer goes out here, and the socket is shut, so that the library's own finds it closed.
void HttpServer::refuse_length(bool too_large) {
    for (auto& [serial, place] : open_) {
        if (place.handled ||
            MHD_get_connection_info(place.connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE) == nullptr ||
            MHD_get_connection_info(place.connection, MHD_CONNECTION_INFO_HTTP_STATUS) != nullptr) {
            continue;
        }
        place.handled = true;
        place.due_ms = 0;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(place.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) return;
        const std::string text = wire(too_large ? closing(413, "request too large\n") : closing(400, "bad Content-Length\n"));
        (void)::send(info->connect_fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(info->connect_fd, SHUT_RDWR);
        return;
    }
}

void HttpServer::serve(std::int64_t now) {
    now_ = now;
    close_overdue(steady_ms());
    // Most passes find nothing to do: the wait, which looked at the descriptor, says so.
    const bool resumed = resume_ready_streams();
    const bool woken = std::exchange(ready_, false);
    if (!run_owed_ && !resumed && !woken && timeout_ms() != 0) return;
    // A run that opened or released a connection may leave work that only the next run does: a
    // connection closed in one run is released in the next, and the listening socket, taken out of
    // the wait while the limit is reached, goes back in only at the start of a run. Left to the next
    // wake, a connection waiting for a free place would wait for the next timer instead. The runs of
    // one pass are bounded, so that the game socket is read between them; a run still owed makes the
    // next wait return at once.
    bool progressed = false;
    for (int run = 0; run < kRunsPerServe; ++run) {
        const std::uint64_t before = connection_events_;
        MHD_run(daemon_);
        progressed = connection_events_ != before;
        if (run > 0 && !progressed) break;
    }
    run_owed_ = progressed;
}

void HttpServer::finish_answers(std::int64_t now, int timeout_ms) {
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET) ::close(listener);
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
        if (info == nullptr || info->num_connections == 0) return;
        ready_ = true;
        serve(now);
        pollfd p{fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
}

int HttpServer::watch(std::vector<pollfd>& fds) {
    fds.push_back({fd(), POLLIN, 0});
    return timeout_ms();
}

int HttpServer::fd() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : -1;
}

int HttpServer::timeout_ms() const {
    if (run_owed_) return 0;
    // A stream with bytes for a suspended connection: the next serve() resumes it.
    for (const StreamHold* hold : streams_) {
        if (hold->suspended && hold->stream->ready()) return 0;
    }
    // The first due time may be one passed over when it comes: that wake finds nothing to close.
    std::int64_t ms = due_.empty() ? -1 : std::max<std::int64_t>(0, due_.front().first - steady_ms());
    MHD_UNSIGNED_LONG_LONG library = 0;
    if (MHD_get_timeout(daemon_, &library) == MHD_YES) {
        const auto capped = static_cast<std::int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(library, std::numeric_limits<int>::max()));
        ms = ms < 0 ? capped : std::min(ms, capped);
    }
    return static_cast<int>(ms);
}

}  // namespace quarel::platform

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
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "net/forwarded.h"
#include "net/http_host.h"
#include "platform/sockaddr.h"
#include "status/status.h"

namespace quarel::platform {

struct HttpServer::Request {
    std::string query;
    std::string body;
    bool started = false;      // the handler has seen the headers
    bool nul_in_path = false;  // the path holds %00, which the library decodes and cuts the path at
    // The request line's target as the library read it, where it lies in the library's buffer, and
    // its length up to its first NUL.
    const char* target = nullptr;
    std::size_t target_length = 0;
    // An answer given later (net::HttpLater), with the headers of the answer that carried it; the
    // connection is suspended while it is not ready.
    std::shared_ptr<net::HttpLater> later;
    std::vector<std::pair<std::string, std::string>> later_headers;
    MHD_Connection* connection = nullptr;
    bool suspended = false;
};

struct HttpServer::StreamHold {
    HttpServer* server;
    MHD_Connection* connection;
    std::shared_ptr<net::HttpStream> stream;
    bool suspended = false;
    bool closing = false;  // aborted: its socket is shut, the library closes the connection
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

// How many Content-Length, Transfer-Encoding and Host headers a request has, and whether a header's
// name ends in a blank ("Content-Length : 5": the library takes "Content-Length " for a name of its
// own, while a proxy in front may have read the length).
struct Framing {
    int lengths = 0;
    int encodings = 0;
    int hosts = 0;
    bool blank_before_colon = false;
};

MHD_Result count_framing(void* cls, MHD_ValueKind, const char* key, const char*) {
    auto* f = static_cast<Framing*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) ++f->lengths;
    if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) ++f->encodings;
    if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) ++f->hosts;
    const std::size_t n = std::strlen(key);
    if (n > 0 && (key[n - 1] == ' ' || key[n - 1] == '\t')) f->blank_before_colon = true;
    return MHD_YES;
}

// True when the request line's target holds a raw NUL byte. The library hands the target over as a
// C string, cut at the NUL, but reads the request line in place in its buffer: the version follows the
// whole target and one blank. A version elsewhere (a library that copies the line) tells nothing.
bool nul_in_target(const char* target, std::size_t target_length, const char* version) {
    if (target == nullptr || version == nullptr) return false;
    const auto from = reinterpret_cast<std::uintptr_t>(target), to = reinterpret_cast<std::uintptr_t>(version);
    if (to <= from || to - from > kHttpHeaderBytes) return false;
    return to - from - 1 != target_length;
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

// The client's address of a connection.
net::Address peer_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info != nullptr ? from_sockaddr(info->client_addr) : net::Address{};
}

// The address a connected socket was reached at; none when it cannot be told.
net::Address local_address(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
    return from_sockaddr(reinterpret_cast<const sockaddr*>(&ss));
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
        request->target = uri;
        request->target_length = std::strlen(uri);
        const char* q = std::strchr(uri, '?');
        if (q != nullptr) request->query = q + 1;
        const std::string_view path(uri, q != nullptr ? static_cast<std::size_t>(q - uri) : std::strlen(uri));
        request->nul_in_path = path.find("%00") != std::string_view::npos;
        return request;
    }

    // A new connection from `addr`: refused at once while its address holds kHttpPerSource places,
    // unless it is a trusted proxy's, whose places count for the callers it names.
    static MHD_Result on_accept(void* cls, const sockaddr* addr, socklen_t) {
        auto* self = static_cast<HttpServer*>(cls);
        const net::Address peer = from_sockaddr(addr);
        if (self->trusted_proxy(peer)) return MHD_YES;
        const auto held = self->places_of_.find(HttpServer::source_of(peer));
        return held == self->places_of_.end() || held->second < kHttpPerSource ? MHD_YES : MHD_NO;
    }

    // A connection opens (its request is due from now) or closes.
    static void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<HttpServer*>(cls);
        ++self->connection_events_;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const std::uint64_t serial = ++self->serials_;
            *socket_context = reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial));
            HttpServer::Place place{connection, 0, false};
            net::Address peer;
            if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
                peer = from_sockaddr(info->client_addr);
            }
            if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
                place.local = local_address(info->connect_fd);
            }
            if (!self->trusted_proxy(peer)) {
                place.peer = HttpServer::source_of(peer);
                ++self->places_of_[*place.peer];
            }
            self->open_[serial] = place;
            self->await_request(serial);
        } else if (const auto place = self->open_.find(reinterpret_cast<std::uintptr_t>(*socket_context));
                   place != self->open_.end()) {
            if (place->second.peer) self->release(*place->second.peer);
            if (place->second.caller) self->release(*place->second.caller);
            self->open_.erase(place);
        }
    }

    // The library's own messages say nothing to the console. Two are acted on (see
    // kLibraryLengthTooLarge): a Content-Length it cannot read (too many digits, a sign).
    static void on_log(void* cls, const char* format, va_list) {
        if (std::strcmp(format, kLibraryLengthTooLarge) == 0) {
            static_cast<HttpServer*>(cls)->refuse_length(true);
        } else if (std::strcmp(format, kLibraryLengthUnreadable) == 0) {
            static_cast<HttpServer*>(cls)->refuse_length(false);
        }
    }

    // A request is done with: its caller's place behind a proxy is free again, and on a connection kept
    // open the next request is due from now.
    static void on_completed(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode) {
        auto* self = static_cast<HttpServer*>(cls);
        std::erase(self->laters_, static_cast<HttpServer::Request*>(*con_cls));
        delete static_cast<HttpServer::Request*>(*con_cls);
        *con_cls = nullptr;
        const std::uint64_t serial = serial_of(connection);
        if (const auto place = self->open_.find(serial); place != self->open_.end() && place->second.caller) {
            self->release(*std::exchange(place->second.caller, std::nullopt));
        }
        self->await_request(serial);
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
                                 const char* version, const char* upload_data, std::size_t* upload_data_size,
                                 void** con_cls) {
        auto* self = static_cast<HttpServer*>(cls);
        auto* request = static_cast<HttpServer::Request*>(*con_cls);
        if (request == nullptr) return MHD_NO;  // out of memory when it began: close the connection
        if (!request->started) {
            request->started = true;
            const auto place = self->open_.find(serial_of(connection));
            if (place == self->open_.end()) return MHD_NO;
            place->second.handled = true;
            // The headers are in. Two lengths, or a length beside a transfer coding, can be read two ways;
            // a proxy in front that reads it the other way would take the rest of the body for a request
            // of its own. So can two codings, a name with a blank before its colon (RFC 9112 wants 400
            // for it) and two Hosts.
            Framing framing;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &count_framing, &framing);
            if (framing.lengths > 1 || (framing.lengths > 0 && framing.encodings > 0) || framing.encodings > 1 ||
                framing.blank_before_colon || framing.hosts > 1) {
                return answer(self, connection, queue(connection, closing(400, "ambiguous request framing\n")));
            }
            if (request->nul_in_path || nul_in_target(request->target, request->target_length, version)) {
                return answer(self, connection, queue(connection, closing(400, "NUL in the path\n")));
            }
            const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
            if (self->guards_.http_hosts != nullptr &&
                !net::host_allowed(host != nullptr ? host : "", place->second.local, *self->guards_.http_hosts)) {
                return answer(self, connection,
                              queue(connection, closing(421, "this listener does not answer to that Host name; a name "
                                                           "it should answer to belongs in http_hosts\n")));
            }
            // Behind a trusted proxy, the places are counted for the caller it names.
            const net::Address peer = peer_of(connection);
            if (!place->second.peer) {
                std::string forwarded_for;
                MHD_get_connection_values(connection, MHD_HEADER_KIND, &join_forwarded_for, &forwarded_for);
                const auto caller = net::forwarded_client(peer, forwarded_for, *self->guards_.trusted_proxies);
                if (!caller) {
                    return answer(self, connection,
                                  queue(connection, closing(400, "X-Forwarded-For is not a list of addresses\n")));
                }
                const HttpServer::Source source = HttpServer::source_of(*caller);
                const auto held = self->places_of_.find(source);
                if (held != self->places_of_.end() && held->second >= kHttpPerSource) {
                    return answer(self, connection, queue(connection, closing(429, "too many connections from one address\n")));
                }
                ++self->places_of_[source];
                place->second.caller = source;
            }
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
        if (request->later) {
            // Resumed: the answer given later is ready (or the library asks again before it is).
            if (!request->later->ready()) return MHD_YES;
            return answer(self, connection, static_cast<MHD_Result>(self->queue_later(*request)));
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
        if (const char* ports = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Quarel-Ports")) {
            r.quarel_ports = ports;
        }
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &join_forwarded_for, &r.forwarded_for);
        r.peer = peer_of(connection);
        net::HttpResponse response;
        try {
            response = self->handler_(r);
        } catch (...) {
            // Nothing a handler throws may reach the loop.
            response = plain(500, "internal error\n");
        }
        if (response.stream) return answer(self, connection, self->queue_stream(connection, response) ? MHD_YES : MHD_NO);
        if (response.later) {
            request->later = std::move(response.later);
            request->later_headers = std::move(response.headers);
            request->connection = connection;
            if (request->later->ready()) return answer(self, connection, static_cast<MHD_Result>(self->queue_later(*request)));
            MHD_suspend_connection(connection);
            request->suspended = true;
            self->laters_.push_back(request);
            return answer(self, connection, MHD_YES);
        }
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
    for (Request* request : laters_) {
        if (!request->suspended || !request->later->ready()) continue;
        request->suspended = false;
        MHD_resume_connection(request->connection);
        resumed = true;
    }
    return resumed;
}

int HttpServer::queue_later(Request& request) {
    std::erase(laters_, &request);
    net::HttpResponse r = request.later->take();
    r.headers.insert(r.headers.begin(), request.later_headers.begin(), request.later_headers.end());
    return queue(request.connection, r);
}

std::unique_ptr<HttpServer> HttpServer::start(const net::Address& where, HttpHandler handler, std::string& error,
                                              HttpGuards guards, net::Clock& clock, int inherited) {
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
    std::unique_ptr<HttpServer> server(new HttpServer(std::move(handler), guards, clock));
    server->port_ = local_port(fd);
    server->places_ = places_within_file_limit();
    const unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME |
                           (where.is_ipv4() ? 0u : static_cast<unsigned>(MHD_USE_IPv6));
    server->daemon_ = MHD_start_daemon(
        flags, 0, &Callbacks::on_accept, server.get(), &Callbacks::on_request, server.get(),
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
        MHD_OPTION_CONNECTION_LIMIT, server->places_,
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
    for (Request* request : laters_) {
        if (std::exchange(request->suspended, false)) MHD_resume_connection(request->connection);
    }
    MHD_stop_daemon(daemon_);
}

void HttpServer::await_request(std::uint64_t serial) {
    const auto place = open_.find(serial);
    if (place == open_.end()) return;
    place->second.due_ms = now_ms() + kHttpRequestSeconds * 1000;
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

void HttpServer::release(const Source& source) {
    const auto held = places_of_.find(source);
    if (held == places_of_.end()) return;
    if (--held->second == 0) places_of_.erase(held);
}

// A stream the library waits to write (its client reads nothing) is never asked for bytes again, so
// it would never hear of its end: its socket is shut here, after which the library finds it closed.
// The linger of 0 makes the close drop what is still queued for the client at once (a reset) rather
// than hold it while the kernel retries a client that takes nothing.
bool HttpServer::close_aborted_streams() {
    bool closed = false;
    for (StreamHold* hold : streams_) {
        if (hold->suspended || hold->closing || !hold->stream->aborted()) continue;
        hold->closing = true;
        closed = true;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(hold->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) continue;
        const linger drop{1, 0};
        setsockopt(info->connect_fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
        ::shutdown(info->connect_fd, SHUT_RDWR);
    }
    return closed;
}

void HttpServer::serve(std::int64_t now) {
    now_ = now;
    close_overdue(now_ms());
    // Most passes find nothing to do: the wait, which looked at the descriptor, says so.
    const bool closed = close_aborted_streams();
    const bool resumed = resume_ready_streams() || closed;
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

void HttpServer::finish_answers(std::int64_t now, int timeout_ms, bool keep_listening) {
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET && !keep_listening) ::close(listener);
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
    // A stream with bytes for a suspended connection, or an answer given later now ready: the next
    // serve() resumes it; a stream aborted while the library waits to write: the next serve() closes it.
    for (const StreamHold* hold : streams_) {
        if (hold->suspended && hold->stream->ready()) return 0;
        if (!hold->suspended && !hold->closing && hold->stream->aborted()) return 0;
    }
    for (const Request* request : laters_) {
        if (request->suspended && request->later->ready()) return 0;
    }
    // The first due time may be one passed over when it comes: that wake finds nothing to close.
    std::int64_t ms = due_.empty() ? -1 : std::max<std::int64_t>(0, due_.front().first - now_ms());
    MHD_UNSIGNED_LONG_LONG library = 0;
    if (MHD_get_timeout(daemon_, &library) == MHD_YES) {
        const auto capped = static_cast<std::int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(library, std::numeric_limits<int>::max()));
        ms = ms < 0 ? capped : std::min(ms, capped);
    }
    return static_cast<int>(ms);
}

}  // namespace quarel::platform

// The HTTP seam: what the listener hands a handler, and what the handler answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/address.h"

namespace quarel::net {

struct HttpRequest {
    std::string method;         // "GET", "HEAD", "POST", ...
    std::string path;           // without the query string, e.g. "/status.json"
    std::string query;          // the raw text after '?', "" when none
    std::string authorization;  // the Authorization header, "" when absent
    std::string body;           // the request body (bounded by the listener)
    Address peer;               // the client's address
    std::int64_t now = 0;       // the calendar second of the loop pass that serves it
    std::string forwarded_for;  // the X-Forwarded-For headers joined by ", ", "" when absent
    // Who calls, as the admin API's gate found out: the caller's address (the peer, or the client a
    // trusted proxy names: forwarded_client) and the admin its token names.
    Address client;
    std::string admin;
    std::string last_event_id;  // the Last-Event-ID header of an event stream's client, "" when absent
    std::string quarel_ports;   // the X-Quarel-Ports header of a game server's announcement, "" when absent
};

// A body written as it comes (an event stream) rather than at once. The listener asks for bytes
// whenever the client can take more; when there are none it stops asking until ready() says so. It
// drops the stream when the connection closes, whoever closed it.
class HttpStream {
public:
    static constexpr long kWait = 0;    // nothing to send now
    static constexpr long kEnd = -1;    // the body is complete: the answer ends
    static constexpr long kAbort = -2;  // the connection is to be closed at once (a client fallen behind)
    virtual ~HttpStream() = default;
    // Copies up to `max` bytes into `out` and returns how many, or one of the values above.
    virtual long read(char* out, std::size_t max) = 0;
    // True when read() would not answer kWait.
    virtual bool ready() const = 0;
    // True when read() would answer kAbort: the listener closes the connection then, also while the
    // client reads nothing (the library asks a socket that takes no more bytes for none).
    virtual bool aborted() const = 0;
};

struct HttpResponse;

// An answer known only later (a restart waiting for the new program's check of the config): the
// listener holds the request, reading nothing more from its connection, until ready(), and then sends
// take() with the headers of the answer that carried it.
class HttpLater {
public:
    virtual ~HttpLater() = default;
    virtual bool ready() const = 0;
    virtual HttpResponse take() = 0;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers, in order
    std::shared_ptr<HttpStream> stream;  // set: the body comes from it, `body` is not sent
    std::shared_ptr<HttpLater> later;    // set: the answer is its take(), once ready
};

}  // namespace quarel::net

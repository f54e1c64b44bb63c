// The HTTP seam: what the listener hands a handler, and what the handler answers.
#pragma once

#include <cstdint>
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
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers, in order
};

}  // namespace quarel::net

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
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers, in order
};

}  // namespace quarel::net

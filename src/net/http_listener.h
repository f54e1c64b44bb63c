// The loop's hold on an HTTP listener: once per pass it lets the listener answer whatever requests are
// complete, at the pass's calendar second. Serving never blocks; the handlers it calls run on the
// loop's thread.
#pragma once

#include <cstdint>

namespace quarel::net {

class HttpListener {
public:
    virtual ~HttpListener() = default;
    virtual void serve(std::int64_t now) = 0;
};

}  // namespace quarel::net

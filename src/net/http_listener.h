// The loop's hold on an HTTP listener: once per pass it lets the listener answer whatever requests are
// complete. Serving never blocks; the handlers it calls run on the loop's thread.
#pragma once

namespace quarel::net {

class HttpListener {
public:
    virtual ~HttpListener() = default;
    virtual void serve() = 0;
};

}  // namespace quarel::net

// The lobby's reader of listed servers' status pages over libcurl's multi interface: a few GETs of
// /status.json at once, each ended at kStatusBytes or kStatusDeadlineMs, moved on by the loop and
// joined to its wait, so that a page that never answers or answers without end holds up nothing.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lobbyd/status_reader.h"
#include "platform/wait.h"

namespace quarel::platform {

class CurlStatusReader final : public lobbyd::StatusReader, public WaitSource {
public:
    // Reads at once, at most.
    static constexpr std::size_t kPlaces = 32;

    CurlStatusReader();
    ~CurlStatusReader() override;
    CurlStatusReader(const CurlStatusReader&) = delete;
    CurlStatusReader& operator=(const CurlStatusReader&) = delete;

    bool start(std::uint64_t ticket, const net::Address& where) override;
    void take(std::vector<lobbyd::StatusRead>& ended) override;
    int watch(std::vector<pollfd>& fds) override;

    struct Read;

private:
    CURLM* multi_ = nullptr;
    std::vector<std::unique_ptr<Read>> reads_;
};

}  // namespace quarel::platform

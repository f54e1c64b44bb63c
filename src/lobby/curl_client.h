// The lobby client over libcurl's multi interface: one GET at a time, driven from the main loop so that
// a slow or silent lobby never holds up the game, and the wait that lets the loop sleep on the
// transfer's sockets and the UDP sockets at once.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "lobby/announcer.h"

namespace quarel::lobby {

// Connect and transfer together may take this long; then the announcement counts as failed.
constexpr long kTimeoutSeconds = 10;

// Which of the three failure lines an ended announcement prints, in the order of its steps.
enum class Failure : std::uint8_t {
    None,     // an answer came (whatever its status) or the request went through
    Connect,  // the host could not be resolved or reached: "Fail InternetConnect!"
    Request,  // the request could not be built: "HttpOpenRequest fail!"
    Send,     // sending the request or receiving the answer failed: "Fail to sent request! ..."
};

// How a finished transfer ended. `connected` is whether a connection to the lobby was ever
// established, `answered` whether a complete status line and header block arrived.
Failure classify(CURLcode result, bool connected, bool answered);

// The metrics' name for how an announcement ended.
core::LobbyResult lobby_result(Failure failure);

// The console text for a failure ("" for None). Connect and Request lines end without a line feed.
std::string failure_line(Failure failure, int code);

// Calls curl_global_init the first time only; later calls return the first call's outcome.
bool global_init();

class CurlLobbyClient final : public LobbyClient {
public:
    explicit CurlLobbyClient(long timeout_seconds = kTimeoutSeconds);
    ~CurlLobbyClient() override;
    CurlLobbyClient(const CurlLobbyClient&) = delete;
    CurlLobbyClient& operator=(const CurlLobbyClient&) = delete;

    bool busy() const override { return busy_; }
    void start(const std::string& host, const std::string& target) override;
    bool advance(core::Console& out) override;
    std::optional<core::LobbyResult> last_result() const override { return last_result_; }

    // Sleeps until one of `fds` is readable, the transfer has work (socket activity or one of its
    // timers), or `timeout_ms` has passed (a negative timeout: until one of the others). Without a
    // transfer in flight it is a plain poll on `fds`.
    void wait(std::span<const int> fds, int timeout_ms);

private:
    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self);
    static int on_connected(void* self, char* conn_primary_ip, char* conn_local_ip, int conn_primary_port,
                            int conn_local_port);
    // Ends the announcement in hand: prints its failure line, if any, and frees the transfer.
    void finish(core::Console& out, Failure failure, int code);
    void release_transfer();

    long timeout_seconds_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    bool busy_ = false;
    bool in_multi_ = false;
    bool connected_ = false;
    bool answered_ = false;
    // A failure found while starting; reported by the next advance().
    Failure early_failure_ = Failure::None;
    std::optional<core::LobbyResult> last_result_;
};

// The main loop's idle wait on `fds` (the UDP sockets) for at most `timeout_ms` (negative: no limit),
// which also wakes for the lobby transfer when `lobby` has one in flight.
void wait_for_work(CurlLobbyClient* lobby, std::span<const int> fds, int timeout_ms);

}  // namespace quarel::lobby

// The lobby client over libcurl's multi interface: one GET at a time, driven from the main loop so that
// a slow or silent lobby never holds up the game; its transfer is a source of work for the loop's wait.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lobby/announcer.h"
#include "platform/curl_wait.h"
#include "platform/wait.h"

namespace quarel::platform {

// Connect and transfer together may take this long; then the announcement counts as failed.
constexpr long kLobbyTimeoutSeconds = 10;

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

class CurlLobbyClient final : public lobby::LobbyClient, public WaitSource {
public:
    // `source`: the local address the request goes out from ("" lets the system choose), so that a game
    // bound to one address of the machine is announced from that address. Both are always given: a
    // client that forgot the bound address would announce the game from another one.
    CurlLobbyClient(long timeout_seconds, std::string source);
    ~CurlLobbyClient() override;
    CurlLobbyClient(const CurlLobbyClient&) = delete;
    CurlLobbyClient& operator=(const CurlLobbyClient&) = delete;

    // A header the announcements carry from now on (lobby::ports_header; "" for none).
    void set_header(std::string header) { header_ = std::move(header); }

    bool busy() const override { return busy_; }
    void start(const std::string& host, const std::string& target) override;
    bool advance(core::Console& out) override;
    std::optional<core::LobbyResult> last_result() const override { return last_result_; }

    // While a transfer is in flight: its sockets, and the time until one of its timers (connect and
    // transfer time-outs, retries) is due. Nothing otherwise.
    int watch(std::vector<pollfd>& fds) override;
    void woke(std::span<const pollfd>) override { turn_.owe(); }

private:
    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self);
    static int on_connected(void* self, char* conn_primary_ip, char* conn_local_ip, int conn_primary_port,
                            int conn_local_port);
    // Ends the announcement in hand: prints its failure line, if any, and frees the transfer.
    void finish(core::Console& out, Failure failure, int code);
    void release_transfer();

    long timeout_seconds_;
    std::string source_;
    std::string header_;
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
    CurlTurn turn_;
};

}  // namespace quarel::platform

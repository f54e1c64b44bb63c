// Who may use the admin API: the bearer token, compared in constant time, and a lock-out for sources
// that keep presenting wrong ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/admin_tokens.h"
#include "core/source_buckets.h"
#include "net/address.h"

namespace quarel::admin {

// A source (an IPv4 address, an IPv6 /64) that presents kMaxFailures missing or wrong tokens within
// kLockSeconds is answered 429 for its further guesses over the next kLockSeconds. The right token is
// never refused: a page the admin visits, or anyone behind the same proxy, could otherwise lock the
// admin out with a few token-less calls.
constexpr int kMaxFailures = 5;
constexpr std::int64_t kLockSeconds = 60;

// True when `presented` equals `expected`. The time taken depends on the length of `expected` only,
// never on where the first differing byte is nor on the presented length.
bool same_token(std::string_view presented, std::string_view expected);

// The token of an Authorization header "Bearer TOKEN" (scheme in any case, blanks around the token
// ignored); "" when the header has another form.
std::string_view bearer_token(std::string_view header);

enum class Verdict : std::uint8_t {
    Allowed,
    NoToken,       // the server has no token: every call is refused (403)
    Unauthorized,  // missing or wrong token (401)
    LockStarted,   // missing or wrong token, the failure that locks its source (401)
    Locked,        // missing or wrong token from a locked source (429)
};

class Gate {
public:
    // Sources tracked at once; when all are taken, the unlocked one seen longest ago makes room. A locked
    // source is never forgotten before its lock ends: while every place holds a lock, a failure from a
    // source not in the table is refused as locked (until the first of those locks ends), so that many
    // addresses cannot push locks out to win fresh guesses. The right token still passes.
    static constexpr std::size_t kMaxSources = 1024;

    // The token of admin_token_file, whose admin is kSingleTokenName; nothing: no token file. An empty
    // token counts as none.
    void set_token(std::optional<std::string> token) {
        token_ = token && !token->empty() ? std::move(token) : std::nullopt;
    }
    // The named admins of the admin_tokens file (parse_admin_tokens: no name nor token twice).
    // An empty token names nobody.
    void set_named_tokens(std::vector<NamedToken> admins) {
        std::erase_if(admins, [](const NamedToken& a) { return a.token.empty(); });
        named_ = std::move(admins);
    }
    // False while no token at all is known: every call is then refused.
    bool has_token() const { return token_.has_value() || !named_.empty(); }

    struct Decision {
        Verdict verdict = Verdict::Unauthorized;
        std::string admin;  // who the token names, when Allowed
    };
    // Decides on a call from `peer` with Authorization header `authorization` at calendar second `now`.
    // The presented token is compared with every token known, each in constant time and all of them
    // every time, so that the time taken tells neither which one matched nor whether any did.
    // A wrong or missing token counts a failure; a right one is allowed and leaves the count as it is
    // (clearing it would give a guesser beside the admin fresh guesses at every admin call).
    Decision decide(std::string_view authorization, const net::Address& peer, std::int64_t now);
    Verdict check(std::string_view authorization, const net::Address& peer, std::int64_t now) {
        return decide(authorization, peer, now).verdict;
    }
    // Seconds until a locked source may guess again (0 when it is not locked).
    std::int64_t retry_after(const net::Address& peer, std::int64_t now) const;

private:
    using Key = core::SourceKey;
    struct Source {
        Key key{};
        int failures = 0;
        std::int64_t first_failure = 0;
        std::int64_t locked_until = 0;
        std::int64_t last_seen = 0;
    };
    Source* find(const Key& key);
    const Source* find(const Key& key) const;
    // A place for a new source, or nullptr while every place holds a lock.
    Source* make_room(std::int64_t now);
    // When every place holds a lock: the end of the first of them; otherwise 0.
    std::int64_t full_until(std::int64_t now) const;

    // The admin the presented token names; "" when none.
    std::string_view match(std::string_view presented) const;

    std::optional<std::string> token_;
    std::vector<NamedToken> named_;
    std::vector<Source> sources_;
};

}  // namespace quarel::admin

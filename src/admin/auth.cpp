// Token comparison and the per-source failure count.
#include "admin/auth.h"

#include <algorithm>

#include "core/safe_text.h"

namespace quarel::admin {

bool same_token(std::string_view presented, std::string_view expected) {
    // Every byte of `expected` is compared, each with the presented byte at the same place (or with 0
    // past its end); the differences are gathered without a branch on them.
    unsigned diff = presented.size() != expected.size() ? 1u : 0u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        diff |= p ^ static_cast<unsigned char>(expected[i]);
    }
    return diff == 0;
}

std::string_view bearer_token(std::string_view header) {
    constexpr std::string_view kScheme = "bearer";
    if (header.size() <= kScheme.size() || !core::is_blank(header[kScheme.size()])) return {};
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        const char c = header[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) return {};
    }
    return core::trim(header.substr(kScheme.size()));
}

Gate::Source* Gate::find(const Key& key) {
    const auto it = std::find_if(sources_.begin(), sources_.end(), [&](const Source& s) { return s.key == key; });
    return it == sources_.end() ? nullptr : &*it;
}

const Gate::Source* Gate::find(const Key& key) const {
    const auto it = std::find_if(sources_.begin(), sources_.end(), [&](const Source& s) { return s.key == key; });
    return it == sources_.end() ? nullptr : &*it;
}

Gate::Source* Gate::make_room(std::int64_t now) {
    if (sources_.size() < kMaxSources) return &sources_.emplace_back();
    // Forgetting a source that is not locked loses at most a few counted failures.
    Source* victim = nullptr;
    for (Source& s : sources_) {
        if (s.locked_until > now) continue;
        if (victim == nullptr || s.last_seen < victim->last_seen) victim = &s;
    }
    if (victim != nullptr) *victim = Source{};
    return victim;
}

std::int64_t Gate::full_until(std::int64_t now) const {
    if (sources_.size() < kMaxSources) return 0;
    std::int64_t first_end = 0;
    for (const Source& s : sources_) {
        if (s.locked_until <= now) return 0;
        if (first_end == 0 || s.locked_until < first_end) first_end = s.locked_until;
    }
    return first_end;
}

std::string_view Gate::match(std::string_view presented) const {
    // Index + 1 of the first token that matched (the file's lines hold no token twice), gathered
    // without a branch on any comparison.
    std::size_t found = 0;
    const auto compare = [&](std::string_view token, std::size_t index) {
        const std::size_t first = 0 - static_cast<std::size_t>(found == 0);
        found |= (index + 1) & (0 - static_cast<std::size_t>(same_token(presented, token))) & first;
    };
    if (token_) compare(*token_, 0);
    for (std::size_t i = 0; i < named_.size(); ++i) compare(named_[i].token, i + 1);
    if (found == 0) return {};
    return found == 1 ? kSingleTokenName : std::string_view(named_[found - 2].name);
}

Gate::Decision Gate::decide(std::string_view authorization, const net::Address& peer, std::int64_t now) {
    if (!has_token()) return {Verdict::NoToken, {}};
    if (const std::string_view admin = match(bearer_token(authorization)); !admin.empty()) {
        return {Verdict::Allowed, std::string(admin)};
    }
    const Key key = core::source_key(peer);
    Source* source = find(key);
    if (source == nullptr) {
        source = make_room(now);
        if (source == nullptr) return {Verdict::Locked, {}};
        source->key = key;
    }
    source->last_seen = now;
    if (source->locked_until > now) return {Verdict::Locked, {}};
    // A lock, or a count older than the window, is over: the source starts afresh.
    if (source->locked_until != 0 || now - source->first_failure >= kLockSeconds) {
        source->failures = 0;
        source->locked_until = 0;
    }
    if (source->failures == 0) source->first_failure = now;
    if (++source->failures < kMaxFailures) return {Verdict::Unauthorized, {}};
    source->locked_until = now + kLockSeconds;
    return {Verdict::LockStarted, {}};
}

std::int64_t Gate::retry_after(const net::Address& peer, std::int64_t now) const {
    const Source* source = find(core::source_key(peer));
    if (source != nullptr) return source->locked_until > now ? source->locked_until - now : 0;
    const std::int64_t until = full_until(now);
    return until > now ? until - now : 0;
}

}  // namespace quarel::admin

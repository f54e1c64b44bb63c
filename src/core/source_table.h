// The fixed tables the limiters keep their sources in, and the count behind their summary lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/source_buckets.h"

namespace quarel::core {

// The size of a source table: kSourceSets sets of kSourceWays entries, more than the most slots a
// server has, so that a full server's players all fit.
inline constexpr std::size_t kSourceSets = 128;
inline constexpr std::size_t kSourceWays = 8;

// Allocated once; a source lives in the set its keyed hash picks, so a flood of sources can only crowd
// one set at a time. `Entry` has the members `key`, `used` and `last_use` (recency, from touch()).
template <class Entry>
class SourceTable {
public:
    static constexpr std::size_t kSets = kSourceSets;
    static constexpr std::size_t kWays = kSourceWays;

    // `hash` must outlive the table.
    explicit SourceTable(const SourceHash& hash) : hash_(&hash), entries_(kSets * kWays) {}

    std::size_t set_of(const SourceKey& key) const { return static_cast<std::size_t>((*hash_)(key) % kSets); }

    // The entry of `key`. A new source takes a free entry of its set, or else the least recently used
    // one that `may_forget` lets go, made a fresh Entry{} and handed to `place`; with neither it gets
    // nothing.
    template <class MayForget, class Place>
    Entry* find_or_place(const SourceKey& key, MayForget&& may_forget, Place&& place) {
        Entry* set = &entries_[set_of(key) * kWays];
        Entry* free_entry = nullptr;
        Entry* victim = nullptr;
        for (std::size_t w = 0; w < kWays; ++w) {
            Entry& e = set[w];
            if (!e.used) {
                if (free_entry == nullptr) free_entry = &e;
                continue;
            }
            if (e.key == key) return &e;
            if ((victim == nullptr || e.last_use < victim->last_use) && may_forget(e)) victim = &e;
        }
        Entry* e = free_entry != nullptr ? free_entry : victim;
        if (e == nullptr) return nullptr;
        *e = Entry{};
        e->used = true;
        e->key = key;
        place(*e);
        return e;
    }

    void touch(Entry& e) { e.last_use = ++use_counter_; }

private:
    const SourceHash* hash_;
    std::vector<Entry> entries_;
    std::uint64_t use_counter_ = 0;
};

// What a summary line counts: the window opens with the first thing left out and the line is due
// `period` seconds later; taking it starts the count again from 0.
class SummaryCount {
public:
    void add(std::int64_t now, std::int64_t period) {
        if (count_ == 0) due_ = now + period;
        ++count_;
    }
    // The count, when the line is due at `now`, or nothing.
    std::optional<std::int64_t> take(std::int64_t now, std::int64_t period) {
        if (count_ == 0) return std::nullopt;
        // A clock set back by more than a period would otherwise hold the line back for as long.
        if (now < due_ - period) due_ = now + period;
        if (now < due_) return std::nullopt;
        return std::exchange(count_, 0);
    }
    // The calendar second from which the line is due; max while nothing is counted, so that an idle
    // server is not woken for it.
    std::int64_t due() const { return count_ > 0 ? due_ : std::numeric_limits<std::int64_t>::max(); }
    std::int64_t count() const { return count_; }

private:
    std::int64_t count_ = 0;
    std::int64_t due_ = 0;
};

}  // namespace quarel::core

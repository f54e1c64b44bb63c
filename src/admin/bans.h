// The ban list: addresses and ranges (IPv4 and IPv6, CIDR) kept away from both sockets, each with an
// expiry and a reason, and its file form (one ban a line: range, expiry, reason).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/join_allowance.h"
#include "net/address.h"
#include "net/range.h"

namespace quarel::admin {

// The longest reason a ban or a kick may carry, in bytes.
constexpr std::size_t kMaxReason = 200;

// Ranges moved to the base so the join checks can use them; the ban code keeps its names.
using net::Range;
using net::parse_range;
using net::masked;
using net::kMappedBits;

// True when `text` may be a ban or kick reason: at most kMaxReason bytes and no control bytes (it is
// kept on one line of the ban file and printed on the console).
bool valid_reason(std::string_view text);

struct Ban {
    Range range;
    std::int64_t expires = 0;  // calendar second from which the ban no longer holds; 0 = for good
    std::string reason;

    bool active(std::int64_t now) const { return expires == 0 || now < expires; }

    friend bool operator==(const Ban&, const Ban&) = default;
};

// The comment line at the head of a ban file the server writes anew.
constexpr std::string_view kBanFileHeading = "# range, expiry (calendar seconds, 0 for good), reason\n";

// The lines of one kind of range file: the ban file's "RANGE EXPIRY REASON", or the allow file's
// "RANGE REASON" (its ranges never expire). The same list, merge and file code serves both.
struct ListForm {
    std::string_view heading;  // the comment line at the head of a file the server writes anew
    bool expiry;               // the lines carry an expiry
    std::string_view noun;     // what one entry is called in the lines the server prints ("ban")
};
inline constexpr ListForm kBanForm{kBanFileHeading, true, "ban"};
inline constexpr ListForm kAllowForm{"# range, reason\n", false, "range"};

// One line of a ban file, read: a ban, or why it is not one. A blank line or a comment has neither.
struct BanLine {
    std::optional<Ban> ban;
    std::string_view fault;  // "not an address or range", ...
    std::string_view field;  // the field at fault, when the fault is in one field (the range)

    // The fault as the console reports it: "not an address or range: 300.1.1.1".
    std::string why() const;
};

// The lines of a ban file, without their line feeds (nor a carriage return before one).
std::vector<std::string_view> ban_file_lines(std::string_view text);
// Reads one line (without its line feed) of the file form described at BanList::load.
BanLine read_ban_line(std::string_view line, const ListForm& form = kBanForm);
// The file form of one ban, without a line feed: "10.0.0.0/8 0 spammers" ("10.0.0.0/8 office" in the
// allow file's form).
std::string ban_line(const Ban& ban, const ListForm& form = kBanForm);

// One change of a list, as BanList::take_changes hands it on: the ban now on `range`, or none (lifted).
struct BanChange {
    Range range;
    std::optional<Ban> ban;
};
// The changes of a list since they were last taken, in order; `from_empty`: they start from an empty
// list (the list was loaded or replaced whole since).
struct BanChanges {
    bool from_empty = false;
    std::vector<BanChange> changes;
};

// A line of a ban file that could not be read (and was skipped).
struct LineProblem {
    std::size_t line;  // from 1
    std::string why;
};

class BanList {
public:
    BanList() = default;
    // A list of the file form `form` (kAllowForm: the allow list, whose entries never expire).
    explicit BanList(const ListForm& form) : form_(&form) {}

    // The most bans the list holds: past it a ban on a new range is refused, and a file loads its first
    // kMaxBans bans. Every change then stays within a few milliseconds in the loop (the save aside).
    static constexpr std::size_t kMaxBans = 100'000;

    // Replaces the list with the bans in `text`, the file form: one ban a line, "RANGE EXPIRY REASON"
    // with the fields separated by blanks or tabs (EXPIRY in calendar seconds, 0 for good; REASON the
    // rest of the line, may be empty; the allow form has no EXPIRY). Empty lines and lines starting with '#' are skipped. A line that
    // cannot be read is skipped and reported; the others load. When two lines name the same range the
    // later one wins. Once kMaxBans bans are in, the line of a further range and the rest of the text are
    // left out, reported as one problem on that line.
    std::vector<LineProblem> load(std::string_view text);
    // The file form of the list, under one comment line, in range order.
    std::string to_text() const;

    // Adds `ban`, or replaces the ban on the same range; false (nothing changes) when the range is new
    // and the list holds kMaxBans bans.
    bool add(Ban ban);
    // Lifts the ban on exactly `range`; false when there is none.
    bool remove(const Range& range);
    // Drops the bans that have expired at `now`; true when any went. Cost: the bans that went.
    bool prune(std::int64_t now);

    // True when an active ban covers `address` at `now` (as Range::contains). Cost: one hash look-up
    // per distinct prefix length in the list, nothing when the list is empty.
    bool matches(const net::Address& address, std::int64_t now) const;

    // The changes since the last call, so that a copy kept elsewhere (the ban file's writer, on its own
    // thread) can follow the list at the cost of the changes alone, never of a copy of the whole list.
    BanChanges take_changes();

    const ListForm& form() const { return *form_; }
    // The bans by range.
    const std::map<Range, Ban>& bans() const { return bans_; }
    std::size_t size() const { return bans_.size(); }
    // The earliest expiry among the temporary bans (max when there is none), for the loop to ask on
    // every pass.
    std::int64_t next_expiry() const {
        return expiries_.empty() ? std::numeric_limits<std::int64_t>::max() : expiries_.begin()->first;
    }

private:
    // An address as two 64-bit words (in memory order), so that masking and hashing take a few
    // instructions on the path of every datagram.
    struct Key {
        std::uint64_t a = 0, b = 0;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    static Key key_of(const std::array<std::uint8_t, 16>& ip);
    // The bans of one prefix length: their expiries by masked address (what the look-up on every
    // datagram needs, without a visit to the ban itself).
    struct Group {
        int bits;
        Key mask;
        std::unordered_map<Key, std::int64_t, KeyHash> index;
    };
    Group& group_of(int bits);
    void forget(std::map<Range, Ban>::iterator at);
    // Records a change for take_changes: the ban now on `range`, or null when lifted.
    void note(const Range& range, const Ban* ban);

    const ListForm* form_ = &kBanForm;
    std::map<Range, Ban> bans_;
    std::vector<Group> groups_;
    // The temporary bans by expiry.
    std::set<std::pair<std::int64_t, Range>> expiries_;
    // Changes not yet taken; past a bound (nobody takes them) they are given up for the whole list.
    BanChanges changes_{true, {}};
    bool whole_ = false;
};

// The allow list (a list of kAllowForm) as the join check sees it: open to all while empty, unless its
// file is there and gives no range (it cannot be read, or none of its lines reads as one): a private
// game whose list went wrong stays closed rather than opening to everyone.
class AllowedSources final : public core::JoinList {
public:
    explicit AllowedSources(const BanList& list) : list_(list) {}
    // Why the file gives no range (platform::RangeFile::unusable), "" while it does or is missing.
    void set_unusable(std::string why) { unusable_ = std::move(why); }
    bool admits(const net::Address& from) const override {
        return list_.size() == 0 ? unusable_.empty() : list_.matches(from, 0);
    }
    std::string_view closed() const override { return list_.size() == 0 ? std::string_view(unusable_) : std::string_view(); }

private:
    const BanList& list_;
    std::string unusable_;
};

}  // namespace quarel::admin

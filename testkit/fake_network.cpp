// The fake network.
#include "fake_network.h"

#include <algorithm>
#include <cstring>

namespace quarel::testkit {

void FakeNetwork::queue(net::Socket socket, std::span<const std::uint8_t> bytes, const net::Address& from) {
    Queue& q = queues_[static_cast<int>(socket)];
    q.items.push_back({q.arena.size(), bytes.size(), from});
    q.arena.insert(q.arena.end(), bytes.begin(), bytes.end());
}

void FakeNetwork::reserve(std::size_t datagrams, std::size_t bytes) {
    for (Queue& q : queues_) {
        q.items.reserve(datagrams);
        q.arena.reserve(bytes);
    }
}

std::size_t FakeNetwork::pending(net::Socket socket) const {
    const Queue& q = queues_[static_cast<int>(socket)];
    return q.items.size() - q.head;
}

std::size_t FakeNetwork::receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) {
    Queue& q = queues_[static_cast<int>(socket)];
    const bool ahead = socket == net::Socket::Game && read_ahead > 0;
    std::size_t n = 0;
    while (q.head < q.items.size()) {
        if (ahead && in_hand_ == 0) in_hand_ = std::min(read_ahead, q.items.size() - q.head);
        const Inbound& in = q.items[q.head++];
        if (ahead) --in_hand_;
        if (in.size == 0) break;
        if (in.size > buf.size()) continue;
        std::memcpy(buf.data(), q.arena.data() + in.at, in.size);
        from = in.from;
        n = in.size;
        break;
    }
    if (q.head == q.items.size()) {
        q.items.clear();
        q.arena.clear();
        q.head = 0;
    }
    if (on_receive) on_receive(socket, buf.first(n), from);
    return n;
}

std::size_t FakeNetwork::waiting(net::Socket socket) const { return socket == net::Socket::Game ? in_hand_ : 0; }

net::SendResult FakeNetwork::outcome() {
    if (block_next_ > 0) {
        --block_next_;
        return net::SendResult::WouldBlock;
    }
    if (fail_next_ > 0) {
        --fail_next_;
        return net::SendResult::Failed;
    }
    if (block_every_ > 0 && attempts % static_cast<std::uint64_t>(block_every_) == 0) return net::SendResult::WouldBlock;
    if (fail_every_ > 0 && attempts % static_cast<std::uint64_t>(fail_every_) == 0) return net::SendResult::Failed;
    return net::SendResult::Accepted;
}

net::SendResult FakeNetwork::send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) {
    ++attempts;
    const net::SendResult result = outcome();
    if (result == net::SendResult::Accepted) {
        ++sends;
        sent_bytes += bytes.size();
        if (keep_sends) sent.push_back({socket, to, Bytes(bytes.begin(), bytes.end())});
    }
    if (on_send) on_send({socket, to, bytes, result});
    return result;
}

std::vector<Sent> FakeNetwork::take() {
    std::vector<Sent> out;
    out.swap(sent);
    return out;
}

}  // namespace quarel::testkit

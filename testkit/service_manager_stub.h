// The service manager's side of the notification protocol, played by a test: a datagram socket that
// a server names in NOTIFY_SOCKET, which takes its notifications and keeps the descriptors it stores
// (FDSTORE=1, FDNAME=), and hands them to the next start as LISTEN_FDS, LISTEN_FDNAMES and LISTEN_PID.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quarel::testkit {

class ServiceManagerStub {
public:
    ServiceManagerStub();
    ~ServiceManagerStub();
    ServiceManagerStub(const ServiceManagerStub&) = delete;
    ServiceManagerStub& operator=(const ServiceManagerStub&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Waits (at most `timeout_ms`) until a notification after the last one found holds `needle` (a
    // line such as "READY=1"); false when none did. Notifications are taken as they come, by a thread
    // of the stub's own, as the manager does: its socket has a short queue, and a server whose
    // notifications are not read would wait for room.
    bool wait_for(const std::string& needle, int timeout_ms = 5000);
    // The names of the descriptors stored, in the order stored; one file stored twice is kept once.
    std::vector<std::string> stored_names() const;

    // For Process's in_child: names this socket in NOTIFY_SOCKET and, with `hand_over`, passes every
    // stored descriptor from 3 on with LISTEN_FDS, LISTEN_FDNAMES and the child's own LISTEN_PID. With
    // `watchdog_us`, asks for WATCHDOG=1 that often.
    std::function<bool()> child_setup(bool hand_over, long watchdog_us = 0) const;

private:
    void take(int timeout_ms);

    mutable std::mutex mutex_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    int fd_ = -1;
    std::filesystem::path dir_;
    std::vector<std::string> notifications_;
    std::size_t seen_ = 0;  // notifications looked at by wait_for
    std::vector<std::pair<std::string, int>> stored_;
};

}  // namespace quarel::testkit

// The notification socket over AF_UNIX datagrams with SCM_RIGHTS, as the service manager reads it.
#include "service_manager_stub.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>

namespace quarel::testkit {

ServiceManagerStub::ServiceManagerStub() {
    char tmpl[] = "/tmp/quarel-notify-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    const std::string path = (dir_ / "notify").string();
    std::strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
    const int on = 1;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return;
    }
    reader_ = std::thread([this] {
        while (!stopping_) take(50);
    });
}

ServiceManagerStub::~ServiceManagerStub() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
    for (const auto& [name, fd] : stored_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

void ServiceManagerStub::take(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    std::array<char, 4096> text{};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * 16) + CMSG_SPACE(sizeof(ucred))> control{};
    iovec iov{text.data(), text.size() - 1};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) return;
    const std::string body(text.data(), static_cast<std::size_t>(n));
    const std::lock_guard lock(mutex_);
    notifications_.push_back(body);
    std::string name = "stored";
    if (const auto at = body.find("FDNAME="); at != std::string::npos) {
        name = body.substr(at + 7, body.find('\n', at) - (at + 7));
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            // As the service manager does: a file already in the store is not stored again.
            struct stat got{};
            fstat(fd, &got);
            bool known = body.find("FDSTORE=1") == std::string::npos;
            for (const auto& [n2, have] : stored_) {
                struct stat st{};
                fstat(have, &st);
                known = known || (st.st_dev == got.st_dev && st.st_ino == got.st_ino);
            }
            if (known) {
                ::close(fd);
            } else {
                stored_.emplace_back(name, fd);
            }
        }
    }
}

bool ServiceManagerStub::wait_for(const std::string& needle, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            while (seen_ < notifications_.size()) {
                if (notifications_[seen_++].find(needle) != std::string::npos) return true;
            }
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> ServiceManagerStub::stored_names() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, fd] : stored_) names.push_back(name);
    return names;
}

std::function<bool()> ServiceManagerStub::child_setup(bool hand_over, long watchdog_us) const {
    const std::string socket = (dir_ / "notify").string();
    std::vector<std::pair<std::string, int>> fds;
    if (hand_over) {
        const std::lock_guard lock(mutex_);
        fds = stored_;
    }
    return [socket, fds, watchdog_us] {
        if (::setenv("NOTIFY_SOCKET", socket.c_str(), 1) != 0) return false;
        if (watchdog_us > 0) ::setenv("WATCHDOG_USEC", std::to_string(watchdog_us).c_str(), 1);
        if (fds.empty()) return true;
        std::vector<int> moved;
        std::string names;
        for (const auto& [name, fd] : fds) {
            moved.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
            names += (names.empty() ? "" : ":") + name;
        }
        for (std::size_t i = 0; i < moved.size(); ++i) {
            if (::dup2(moved[i], 3 + static_cast<int>(i)) < 0) return false;
        }
        ::setenv("LISTEN_FDS", std::to_string(moved.size()).c_str(), 1);
        ::setenv("LISTEN_FDNAMES", names.c_str(), 1);
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        return true;
    };
}

}  // namespace quarel::testkit

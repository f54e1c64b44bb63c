// The service manager's protocol through libsystemd, and the memory files that hold the record.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/handover.h"

namespace quarel::platform {

Inherited take_inherited() {
    Inherited got;
    char** names = nullptr;
    // Removes LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES; descriptors come from SD_LISTEN_FDS_START on.
    const int n = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < n; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        const char* name = names != nullptr && names[i] != nullptr ? names[i] : "";
        // Kept from the next program this one may start, unless handed on by name.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (std::strcmp(name, kChatFdName) == 0 && got.chat < 0) {
            got.chat = fd;
        } else if (std::strcmp(name, kGameFdName) == 0 && got.game < 0) {
            got.game = fd;
        } else if (std::strcmp(name, kHttpFdName) == 0 && got.http < 0) {
            got.http = fd;
        } else if (std::strcmp(name, kAdminHttpFdName) == 0 && got.admin_http < 0) {
            got.admin_http = fd;
        } else if (std::strcmp(name, kRecordFdName) == 0) {
            got.records.push_back(fd);
        } else {
            ::close(fd);
        }
    }
    if (names != nullptr) {
        for (int i = 0; i < n; ++i) std::free(names[i]);
        std::free(names);
    }
    return got;
}

void close_unused(Inherited& inherited) {
    for (const int fd : inherited.records) ::close(fd);
    inherited.records.clear();
    for (int* fd : {&inherited.http, &inherited.admin_http}) {
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
    }
}

std::vector<std::uint8_t> read_descriptor(int fd, std::size_t limit) {
    std::vector<std::uint8_t> out;
    struct stat st{};
    if (fstat(fd, &st) != 0 || st.st_size <= 0 || static_cast<std::size_t>(st.st_size) > limit) return out;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t at = 0;
    while (at < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + at, out.size() - at, static_cast<off_t>(at));
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    out.resize(at);
    return out;
}

ServiceManager::ServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    present_ = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    if (present_ && sd_watchdog_enabled(0, &usec) > 0) watchdog_us_ = usec;
}

void ServiceManager::notify(const std::string& text) const {
    if (present_) sd_notify(0, text.c_str());
}

void ServiceManager::store(int fd, const char* name) const {
    if (!present_ || fd < 0) return;
    const std::string text = std::string("FDSTORE=1\nFDNAME=") + name;
    sd_pid_notify_with_fds(0, 0, text.c_str(), &fd, 1);
}

RecordMemory::RecordMemory(const std::vector<int>& inherited, const ServiceManager& manager) {
    for (std::size_t i = 0; i < fds_.size(); ++i) {
        fds_[i] = i < inherited.size() ? inherited[i] : memfd_create("quarel-record", MFD_CLOEXEC);
        manager.store(fds_[i], kRecordFdName);
    }
    for (std::size_t i = fds_.size(); i < inherited.size(); ++i) ::close(inherited[i]);
    // The first write goes over the older record (or one that is none).
    const auto sequence = [this](int i) {
        return core::handover_sequence(read_descriptor(fds_[static_cast<std::size_t>(i)], kRecordLimit));
    };
    next_ = sequence(1) < sequence(0) ? 1 : 0;
}

RecordMemory::~RecordMemory() {
    for (const int fd : fds_) {
        if (fd >= 0) ::close(fd);
    }
}

bool RecordMemory::write(std::span<const std::uint8_t> record) {
    const int fd = fds_[static_cast<std::size_t>(next_)];
    if (fd < 0) return false;
    next_ = 1 - next_;
    // Cut to nothing first: a reader never takes a new beginning with an old end for a record.
    if (ftruncate(fd, 0) != 0) return false;
    std::size_t at = 0;
    while (at < record.size()) {
        const ssize_t n = ::pwrite(fd, record.data() + at, record.size() - at, static_cast<off_t>(at));
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace quarel::platform

// Child processes, their readiness, and the loopback UDP client.
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace quarel::testkit {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Exit status, or 128 + the signal.
int decoded(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// The inodes of the sockets among the process's descriptors.
std::set<unsigned long> socket_inodes(pid_t pid) {
    std::set<unsigned long> inodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0) inodes.insert(std::stoul(target.substr(8)));
    }
    return inodes;
}

// Adds the local ports of the sockets of /proc/PID/net/udp or udp6 whose inode is in `inodes`.
void bound_ports(const std::string& table, const std::set<unsigned long>& inodes, std::set<std::uint16_t>& ports) {
    std::istringstream in(read_file(table));
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, skip;
        unsigned long inode = 0;
        fields >> slot >> local;
        for (int i = 0; i < 7; ++i) fields >> skip;  // remote, st, queues, timer, retransmits, uid, timeout
        if (!(fields >> inode) || !inodes.count(inode)) continue;
        const auto colon = local.rfind(':');
        if (colon != std::string::npos) ports.insert(static_cast<std::uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16)));
    }
}

std::uint16_t bound_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(ss).sin_port);
}

// A UDP socket on a free port of every interface, as the server binds them (dual-stack where possible).
int any_port_socket() {
    int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd >= 0) {
        int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_addr = in6addr_any;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0) return fd;
        ::close(fd);
    }
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    return fd;
}

}  // namespace

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool have_ipv6_loopback() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

std::string beside_self(const std::string& name) {
    std::error_code ec;
    return (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / name).string();
}

std::string server_binary() { return beside_self("quarel-server"); }

Process::Process(std::vector<std::string> argv, const std::string& config, bool separate_stderr,
                 const std::function<bool()>& in_child)
    : separate_(separate_stderr) {
    char tmpl[] = "/tmp/quarel-run-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    if (!config.empty()) std::ofstream(dir_ / "config", std::ios::binary) << config;
    const std::string out_path = (dir_ / "stdout").string();
    const std::string err_path = (dir_ / "stderr").string();
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(dir_.c_str()) != 0) _exit(127);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = separate_ ? ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (in_child && !in_child()) _exit(126);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        _exit(127);
    }
}

Process::~Process() {
    if (pid_ > 0) stop(SIGTERM, 2000);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool Process::running() {
    if (pid_ <= 0) return false;
    // Looks without reaping, so that finish() still gets the status.
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::string Process::output() const { return read_file(dir_ / "stdout"); }
std::string Process::err() const { return read_file(dir_ / "stderr"); }

bool Process::wait_for_output(const std::string& needle, int timeout_ms) const {
    const auto until = steady_clock::now() + milliseconds(timeout_ms);
    while (output().find(needle) == std::string::npos) {
        if (steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

int Process::finish(int timeout_ms) {
    if (pid_ <= 0) return -1;
    const auto until = steady_clock::now() + milliseconds(timeout_ms);
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, WNOHANG, &usage) != pid_) {
        if (steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(milliseconds(2));
    }
    pid_ = -1;
    peak_rss_kib_ = usage.ru_maxrss;
    return decoded(status);
}

int Process::stop(int sig, int grace_ms) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    const int status = finish(grace_ms);
    if (status != -1) return status;
    ::kill(pid_, SIGKILL);
    return finish(5000);
}

Ports free_ports() {
    const int a = any_port_socket();
    const int b = any_port_socket();
    const Ports p{bound_port(a), bound_port(b)};
    ::close(a);
    ::close(b);
    return p;
}

bool holds_udp_ports(pid_t pid, Ports ports) {
    const std::set<unsigned long> inodes = socket_inodes(pid);
    std::set<std::uint16_t> bound;
    const std::string net = "/proc/" + std::to_string(pid) + "/net/";
    bound_ports(net + "udp", inodes, bound);
    bound_ports(net + "udp6", inodes, bound);
    return bound.count(ports.chat) && bound.count(ports.game);
}

namespace {

// Waits (at most 5 s) until `p` holds both ports; false once it has ended or said it cannot bind one.
bool wait_ready(Process& p, Ports ports) {
    const auto until = steady_clock::now() + std::chrono::seconds(5);
    while (steady_clock::now() < until) {
        if (holds_udp_ports(p.pid(), ports)) return true;
        if (!p.running() || p.output().find("I won't listen") != std::string::npos) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return false;
}

}  // namespace

std::vector<std::string> ServerProcess::server_argv(const std::string& binary, Ports ports) {
    return {binary, "--chat-port", std::to_string(ports.chat), "--game-port", std::to_string(ports.game)};
}

namespace {

std::vector<std::string> with(std::vector<std::string> argv, const std::vector<std::string>& args) {
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& config, const std::vector<std::string>& args, bool fixed_ports)
    : ServerProcess(config, args, fixed_ports ? Ports{4173, 4174} : free_ports(), fixed_ports) {}

ServerProcess::ServerProcess(const std::string& config, const std::vector<std::string>& args, Ports p, bool fixed_ports)
    : ServerProcess(with(fixed_ports ? std::vector<std::string>{server_binary()} : server_argv(server_binary(), p), args), p, config) {}

ServerProcess::ServerProcess(std::vector<std::string> argv, Ports p, const std::string& config,
                             const std::function<bool()>& in_child)
    : Process(std::move(argv), config, false, in_child), ports(p) {
    ready_ = wait_ready(*this, ports);
}

StatusServer::StatusServer(const std::string& config, const std::string& http) : server(config, {"--http", http}) {
    const std::string marker = "HTTP status page on http://";
    server.wait_for_output(marker, 5000);
    const std::string out = server.output();
    if (out.find(marker) == std::string::npos) return;
    const std::size_t at = out.find(marker) + marker.size();
    host_port = out.substr(at, out.find('/', at) - at);
    port = static_cast<std::uint16_t>(std::stoi(host_port.substr(host_port.rfind(':') + 1)));
}

std::string which(const std::vector<std::string>& candidates) {
    for (const std::string& c : candidates) if (::access(c.c_str(), X_OK) == 0) return c;
    return "";
}

std::optional<Bytes> receive_datagram(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    Bytes buf(65536);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

UdpClient::UdpClient(const char* ip) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int big = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &sin.sin_addr);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
}

UdpClient::~UdpClient() { ::close(fd_); }

std::uint16_t UdpClient::port() const { return bound_port(fd_); }

void UdpClient::send_to(std::uint16_t port, std::span<const std::uint8_t> bytes) const {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
}

std::int32_t join_named(const ServerProcess& server, const UdpClient& game, const UdpClient& chat, const std::string& name) {
    game.send_to(server.game_port(), sealed(cat({hex("01"), Bytes(36, 0), hex("64"), Bytes(7, 0)})));  // health 100
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    const std::int32_t id = (*welcome)[3] | (*welcome)[4] << 8;  // ids here are small
    chat.send_to(server.chat_port(), sealed(cat({hex("80"), le32(id), str(name), hex("00")})));
    chat.receive();  // the NAME_LIST
    return id;
}

Bytes state_of(std::int32_t id) { return sealed(cat({hex("03"), le32(id), Bytes(43, 0)})); }

KeepPlaying::KeepPlaying(std::function<void()> beat)
    : thread_([this, beat = std::move(beat)] {
          for (int i = 0; i < 240 && on_; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(500))) beat();
      }) {}

void KeepPlaying::stop() {
    on_ = false;
    if (thread_.joinable()) thread_.join();
}

}  // namespace quarel::testkit

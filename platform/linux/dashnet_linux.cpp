// platform/linux/dashnet_linux.cpp: the dashboard stand-in's UDP socket on
// BSD sockets.
#include "platform/dashnet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <cstdio>

static int dashnet_fds[DASHNET_MAX_SOCKETS] = {-1, -1, -1, -1, -1, -1, -1, -1};

static bool DashNet_Valid(int sock) {
    return sock >= 0 && sock < DASHNET_MAX_SOCKETS && dashnet_fds[sock] >= 0;
}

bool DashNet_Resolve(const char* host, DashAddr& out) {
    if (host == nullptr || *host == 0) return false;
    in_addr a{};
    if (std::strspn(host, "0123456789.") == std::strlen(host)) {
        // inet_pton takes exactly four decimal parts, no shorthand forms.
        if (inet_pton(AF_INET, host, &a) != 1) return false;
        std::memcpy(out.ip, &a.s_addr, 4);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool ok = found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in);
    if (ok) {
        const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        std::memcpy(out.ip, &sin->sin_addr.s_addr, 4);
    }
    freeaddrinfo(found);
    return ok;
}

int DashNet_Open(uint16_t port) {
    int slot = 0;
    while (slot < DASHNET_MAX_SOCKETS && dashnet_fds[slot] >= 0) slot++;
    if (slot == DASHNET_MAX_SOCKETS) return -1;
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    dashnet_fds[slot] = fd;
    return slot;
}

uint16_t DashNet_LocalPort(int sock) {
    if (!DashNet_Valid(sock)) return 0;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(dashnet_fds[sock], reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
    return ntohs(local.sin_port);
}

bool DashNet_Send(int sock, const DashAddr& to, const uint8_t* data, int length) {
    if (!DashNet_Valid(sock) || length < 0) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    std::memcpy(&peer.sin_addr.s_addr, to.ip, 4);
    peer.sin_port = htons(to.port);
    ssize_t n = sendto(dashnet_fds[sock], data, static_cast<size_t>(length), 0,
                       reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    return n == length;
}

int DashNet_Receive(int sock, uint8_t* buf, int size, DashAddr& from, int timeout_ms) {
    if (!DashNet_Valid(sock) || size < 0) return DASHNET_ERROR;
    pollfd p{};
    p.fd = dashnet_fds[sock];
    p.events = POLLIN;
    int ready = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (ready < 0) return errno == EINTR ? DASHNET_TIMEOUT : DASHNET_ERROR;
    if (ready == 0) return DASHNET_TIMEOUT;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ssize_t n = recvfrom(dashnet_fds[sock], buf, static_cast<size_t>(size), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&peer), &len);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED)
            return DASHNET_TIMEOUT;
        return DASHNET_ERROR;
    }
    std::memcpy(from.ip, &peer.sin_addr.s_addr, 4);
    from.port = ntohs(peer.sin_port);
    return static_cast<int>(n);
}

void DashNet_Close(int sock) {
    if (!DashNet_Valid(sock)) return;
    close(dashnet_fds[sock]);
    dashnet_fds[sock] = -1;
}

bool DashNet_StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void DashNet_WriteText(FILE* to, const char* text, int length) {
    if (length > 0) std::fwrite(text, 1, static_cast<size_t>(length), to);
}

bool DashNet_OwnConsole() { return false; }

void DashNet_WaitForKey() {}

static bool DashNet_SysNetHas(const char* name, const char* entry) {
    char path[160];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/%s", name, entry);
    struct stat st{};
    return stat(path, &st) == 0;
}

int DashNet_Adapters(DashAdapter* out, int max) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    int count = 0;
    for (ifaddrs* it = list; it != nullptr && count < max; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP)) continue;
        DashAdapter& a = out[count++];
        a = DashAdapter{};
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        std::memcpy(a.ip, &in->sin_addr.s_addr, 4);
        std::snprintf(a.name, sizeof a.name, "%s", it->ifa_name);
        // A network card, USB adapter or Wi-Fi has a device behind it in
        // /sys; bridges, veth pairs, tunnels and the like have none.
        a.has_device = DashNet_SysNetHas(it->ifa_name, "device");
        if (it->ifa_flags & IFF_LOOPBACK) a.link = DASHNET_LINK_LOOPBACK;
        else if (it->ifa_flags & IFF_POINTOPOINT) a.link = DASHNET_LINK_TUNNEL;
        else if (DashNet_SysNetHas(it->ifa_name, "wireless")) a.link = DASHNET_LINK_WIRELESS;
        else a.link = DASHNET_LINK_ETHERNET;
    }
    freeifaddrs(list);
    return count;
}

// platform/linux/net_linux.cpp: the UDP socket and the host's addresses on
// Linux, with BSD sockets.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// errno of the last failed socket call of this thread.
static thread_local int net_last_errno;

static int Sys_SaveErrno() {
    net_last_errno = errno;
    return -1;
}

bool Sys_NetStartup() {
    return true;
}

NetSocket Sys_UdpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        Sys_SaveErrno();
        return NET_INVALID_SOCKET;
    }
    return fd;
}

bool Sys_SetNonBlocking(NetSocket sock) {
    int fd = static_cast<int>(sock);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        Sys_SaveErrno();
        return false;
    }
    return true;
}

bool Sys_BindAny(NetSocket sock, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = port;
    if (bind(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        Sys_SaveErrno();
        return false;
    }
    return true;
}

void Sys_CloseSocket(NetSocket sock) {
    if (sock != NET_INVALID_SOCKET) close(static_cast<int>(sock));
}

int Sys_RecvFrom(NetSocket sock, uint8_t* buf, int size, std::array<uint8_t, 4>& ip,
                 uint16_t& port) {
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    // MSG_TRUNC makes the call return the datagram's real length, so a cut
    // datagram is told apart from one that filled the buffer exactly.
    ssize_t n = recvfrom(static_cast<int>(sock), buf, static_cast<size_t>(size), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) return Sys_SaveErrno();
    if (n > size) {
        net_last_errno = EMSGSIZE;
        return -1;
    }
    std::memcpy(ip.data(), &from.sin_addr.s_addr, 4);
    port = from.sin_port;
    return static_cast<int>(n);
}

int Sys_SendTo(NetSocket sock, const void* data, int length, const std::array<uint8_t, 4>& ip,
               uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    std::memcpy(&to.sin_addr.s_addr, ip.data(), 4);
    ssize_t n = sendto(static_cast<int>(sock), data, static_cast<size_t>(length < 0 ? 0 : length),
                       0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n < 0) return Sys_SaveErrno();
    return static_cast<int>(n);
}

int Sys_NetLastError() {
    if (net_last_errno == EWOULDBLOCK || net_last_errno == EAGAIN) return NET_ERR_WOULDBLOCK;
    if (net_last_errno == ECONNREFUSED) return NET_ERR_CONNREFUSED;
    return net_last_errno;
}

const char* Sys_NetErrorText(int code) {
    if (code == NET_ERR_WOULDBLOCK) code = EWOULDBLOCK;
    if (code == NET_ERR_CONNREFUSED) code = ECONNREFUSED;
    static thread_local char text[256];
    const char* s = strerror_r(code, text, sizeof text);  // GNU form
    return s;
}

int Sys_WaitForSocket(NetSocket sock, int microseconds) {
    // ppoll, not select: select cannot take a descriptor of 1024 or more,
    // which a process started with many descriptors open gets for its
    // socket; and poll's own time-out counts whole milliseconds.
    pollfd pfd{};
    pfd.fd = static_cast<int>(sock);
    pfd.events = POLLIN;
    if (pfd.fd < 0) return -1;
    if (microseconds < 0) microseconds = 0;
    timespec timeout{};
    timeout.tv_sec = microseconds / 1000000;
    timeout.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    int n = ppoll(&pfd, 1, &timeout, nullptr);
    if (n < 0) {
        if (errno == EINTR) return 0;  // a signal is not a failure of the socket
        return Sys_SaveErrno();
    }
    if (n > 0 && (pfd.revents & POLLNVAL)) return -1;
    return n;
}

uint16_t Sys_HostToNetShort(uint16_t value) {
    return htons(value);
}

uint16_t Sys_NetToHostShort(uint16_t value) {
    return ntohs(value);
}

int Sys_LocalAddresses(std::array<uint8_t, 4>* out, int max) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    int count = 0;
    for (ifaddrs* it = list; it != nullptr && count < max; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        std::memcpy(out[count].data(), &in->sin_addr.s_addr, 4);
        count++;
    }
    freeifaddrs(list);
    return count;
}

bool Sys_HostName(char* buf, int size) {
    if (size < 2) return false;
    buf[size - 1] = 0;
    if (gethostname(buf, size - 1) != 0) return false;
    return buf[0] != 0;
}

bool Sys_SocketName(NetSocket sock, std::array<uint8_t, 4>& ip, uint16_t& port) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&addr), &len) < 0)
        return false;
    std::memcpy(ip.data(), &addr.sin_addr.s_addr, 4);
    port = addr.sin_port;
    return true;
}

// tests/integration/udp_client.cpp: the raw dashboard client of the
// end-to-end tests.
#include "udp_client.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "harness.h"

uint32_t Udp_Long(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// True when `d` is an out-of-band datagram (first long all ones).
static bool Udp_IsOob(const Bytes& d) { return d.size() >= 4 && Udp_Long(d, 0) == 0xFFFFFFFFu; }

UdpClient::UdpClient(int server_port, uint16_t qport) : server_port_(server_port), qport_(qport) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) == 0)
        local_port_ = ntohs(local.sin_port);
}

UdpClient::~UdpClient() { close(fd_); }

void UdpClient::SendRaw(const Bytes& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(server_port_));
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void UdpClient::SendOob(const std::string& text) {
    Bytes b{0xFF, 0xFF, 0xFF, 0xFF};
    b.insert(b.end(), text.begin(), text.end());
    SendRaw(b);
}

void UdpClient::SendSequenced(const Bytes& commands) {
    Bytes b;
    for (uint32_t v : {next_sequence_++ & 0x7FFFFFFFu, last_server_sequence_})
        for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    b.push_back(static_cast<uint8_t>(qport_));
    b.push_back(static_cast<uint8_t>(qport_ >> 8));
    b.insert(b.end(), commands.begin(), commands.end());
    SendRaw(b);
}

bool UdpClient::Receive(Datagram& out, int ms) {
    pollfd p{fd_, POLLIN, 0};
    uint8_t buf[2048];
    const ssize_t n = poll(&p, 1, std::max(ms, 0)) > 0 ? recv(fd_, buf, sizeof buf, 0) : -1;
    if (n < 0) return false;
    timeval tv{};   // the kernel's receive stamp of this datagram
    ioctl(fd_, SIOCGSTAMP, &tv);
    out.stamp_ms = static_cast<double>(tv.tv_sec) * 1000.0 + static_cast<double>(tv.tv_usec) / 1000.0;
    out.bytes.assign(buf, buf + n);
    if (n >= 8 && !Udp_IsOob(out.bytes))
        last_server_sequence_ = std::max(last_server_sequence_, Udp_Long(out.bytes, 0) & 0x7FFFFFFFu);
    return true;
}

std::string UdpClient::OobReply(int ms) {
    Datagram d;
    for (const double end = Harness_NowMs() + ms; Receive(d, static_cast<int>(end - Harness_NowMs()));)
        if (Udp_IsOob(d.bytes)) return std::string(d.bytes.begin() + 4, d.bytes.end());
    return "<none>";
}

int UdpClient::Drain(int ms) {
    int n = 0;
    Datagram d;
    for (const double end = Harness_NowMs() + ms; Receive(d, static_cast<int>(end - Harness_NowMs()));) n++;
    return n;
}

std::string UdpClient::Join(const std::string& name, int device_type, int ms) {
    const double end = Harness_NowMs() + ms;
    std::string reply = "<none>";
    while (reply == "<none>" && Harness_NowMs() < end) {
        SendOob("getchallenge");
        reply = OobReply(500);
    }
    if (reply.size() < 2 || reply[0] != 'c') return "<challenge: " + reply + ">";
    SendOob("connect 1 " + std::to_string(qport_) + " " + reply.substr(1) + " \"" + name + "\" " +
            std::to_string(device_type));
    return OobReply(static_cast<int>(std::max(500.0, end - Harness_NowMs())));
}

bool Udp_AnswersAtOnce(int port) {
    UdpClient c(port, 4242);
    c.SendOob("getchallenge");
    return c.OobReply(100)[0] == 'c';
}

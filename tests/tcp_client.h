// tests/tcp_client.h: a browser's side of a TCP connection to 127.0.0.1, for
// the tests of tarmis_dash's web page. Every read is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace tcp {

// The IPv4 socket address `ip`:`port`.
inline sockaddr_in Address(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none).
inline int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Address("127.0.0.1", 0);
    socklen_t len = sizeof a;
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(s);
    return bound ? ntohs(a.sin_port) : 0;
}

// A connected socket to 127.0.0.1:port (with a receive buffer of `rcvbuf`
// bytes when above 0, from the loopback address `from`: each address of
// 127.0.0.0/8 stands for another device), or -1.
inline int Connect(int port, int rcvbuf = 0, const char* from = "127.0.0.1") {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in self = Address(from, 0), to = Address("127.0.0.1", port);
    if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (s >= 0 && (bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
                   connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)) {
        close(s);
        s = -1;
    }
    return s;
}

// Whether all of `text` was sent (never a SIGPIPE).
inline bool SendAll(int s, const std::string& text) {
    return send(s, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// What comes on `s` within `ms`, or until `enough` bytes came or the other
// side closed (`*ended` says whether it did).
inline std::string Receive(int s, int ms, size_t enough = 1 << 30, bool* ended = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string got;
    char buf[8192];
    pollfd pfd{s, POLLIN, 0};
    ssize_t n = 1;
    while (n > 0 && got.size() < enough) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        if ((n = recv(s, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    }
    if (ended != nullptr) *ended = n <= 0;
    return got;
}

// Sends `request` on a new connection from `from` and returns what came
// back within `ms` (or once `enough` bytes came, or the other side closed).
inline std::string Exchange(int port, const std::string& request, int ms, size_t enough = 1 << 20,
                            const char* from = "127.0.0.1") {
    const int s = Connect(port, 0, from);
    const std::string reply = s >= 0 && SendAll(s, request) ? Receive(s, ms, enough) : "";
    if (s >= 0) close(s);
    return reply;
}

}  // namespace tcp

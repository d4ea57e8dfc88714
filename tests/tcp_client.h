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

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none).
inline int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// A connected socket to ip:port, 127.0.0.1 unless told (with a receive
// buffer of `rcvbuf` bytes when above 0), or -1. Another `ip` must be an
// address of this machine.
inline int Connect(int port, int rcvbuf = 0, const char* ip = "127.0.0.1") {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
        close(s);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Whether all of `text` was sent (never a SIGPIPE).
inline bool SendAll(int s, const std::string& text) {
    return send(s, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Sends `request` on a new connection (to ip:port) and returns what came back within
// `ms` (or once `enough` bytes came, or the other side closed).
inline std::string Exchange(int port, const std::string& request, int ms, size_t enough = 1 << 20,
                            const char* ip = "127.0.0.1") {
    int s = Connect(port, 0, ip);
    if (s < 0) return "";
    std::string reply;
    if (SendAll(s, request)) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[4096];
        while (reply.size() < enough) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            pollfd pfd{s, POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(s);
    return reply;
}

}  // namespace tcp

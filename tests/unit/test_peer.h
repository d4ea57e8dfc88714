// tests/unit/test_peer.h: a UDP socket on this host playing a dashboard.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "net/udp.h"
#include "platform/net.h"

// A non-blocking UDP socket bound to a free port on all interfaces, playing
// a dashboard client. Closed when the object goes.
class Peer {
public:
    Peer() {
        sock_ = Sys_UdpSocket();
        EXPECT_NE(sock_, NET_INVALID_SOCKET);
        EXPECT_TRUE(Sys_SetNonBlocking(sock_));
        EXPECT_TRUE(Sys_BindAny(sock_, 0));
        std::array<uint8_t, 4> ip{};
        EXPECT_TRUE(Sys_SocketName(sock_, ip, port_));
    }
    ~Peer() { Sys_CloseSocket(sock_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // This peer as the server sees it.
    NetAddress Address() const { return NetAddress{{127, 0, 0, 1}, port_}; }
    NetSocket Socket() const { return sock_; }

    void SendTo(NetAddress to, const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(Sys_SendTo(sock_, bytes.data(), static_cast<int>(bytes.size()), to.ip, to.port),
                  static_cast<int>(bytes.size()));
    }

    // The next datagram to arrive within `timeout_ms`; false when none came.
    bool Receive(std::vector<uint8_t>& out, int timeout_ms = 2000) const {
        out.clear();
        if (Sys_WaitForSocket(sock_, timeout_ms * 1000) <= 0) return false;
        std::array<uint8_t, 9000> buf{};
        std::array<uint8_t, 4> ip{};
        uint16_t port = 0;
        int n = Sys_RecvFrom(sock_, buf.data(), static_cast<int>(buf.size()), ip, port);
        if (n < 0) return false;
        out.assign(buf.begin(), buf.begin() + n);
        return true;
    }

private:
    NetSocket sock_ = NET_INVALID_SOCKET;
    uint16_t port_ = 0;
};


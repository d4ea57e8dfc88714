// tests/unit/sv_support.h: a server on 127.0.0.1 and a dashboard peer for
// the dashboard-server tests, with the debug log captured in a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "platform/net.h"
#include "test_peer.h"
#include "server/clients.h"
#include "server/cmd.h"
#include "server/handshake.h"
#include "server/intake.h"
#include "server/send.h"
#include "shell/log.h"
#include "shell/sys.h"
#include "telemetry/snapshot.h"

using Bytes = std::vector<uint8_t>;

// Sized once and filled in place (growing a four-byte vector draws a false
// -Warray-bounds from g++ 12 at -O2).
inline Bytes SvOob(const std::string& text) {
    Bytes out(4 + text.size(), 0xFF);
    std::copy(text.begin(), text.end(), out.begin() + 4);
    return out;
}

// A client packet header: sequence, acknowledgement, qport, little-endian.
inline Bytes SvSequenced(uint32_t sequence, uint32_t ack, uint16_t qport) {
    Bytes out;
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(ack >> (8 * i)));
    out.push_back(static_cast<uint8_t>(qport));
    out.push_back(static_cast<uint8_t>(qport >> 8));
    return out;
}

inline uint32_t SvLong(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | static_cast<uint32_t>(b.at(at + 1)) << 8 |
           static_cast<uint32_t>(b.at(at + 2)) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

// One UDP socket on 127.0.0.1 playing a dashboard, with the server tests'
// own polling receive.
class SvPeer : public Peer {
public:
    uint16_t HostPort() const { return Sys_NetToHostShort(Address().port); }

    void Send(const Bytes& data, uint16_t server_port_net) {
        const std::array<uint8_t, 4> lo{127, 0, 0, 1};
        ASSERT_EQ(Sys_SendTo(Socket(), data.data(), static_cast<int>(data.size()), lo, server_port_net),
                  static_cast<int>(data.size()));
    }

    // The next datagram, waiting at most `ms`; false when none came.
    bool Receive(Bytes& out, int ms = 500) {
        for (int waited = 0; waited <= ms; waited += 10) {
            std::array<uint8_t, 4> ip{};
            uint16_t port = 0;
            std::array<uint8_t, 2048> buf{};
            int n = Sys_RecvFrom(Socket(), buf.data(), static_cast<int>(buf.size()), ip, port);
            if (n >= 0) {
                out.assign(buf.begin(), buf.begin() + n);
                return true;
            }
            Sys_WaitForSocket(Socket(), 10000);
        }
        return false;
    }

    // True when nothing arrives within `ms`.
    bool Silent(int ms = 50) {
        Bytes ignored;
        return !Receive(ignored, ms);
    }
};

// Fresh server state with its socket on a free port and the debug log going
// to a file of this test's own (and this process's: test runs may overlap).
class SvServer : public ::testing::Test {
protected:
    void SetUp() override {
        SV_ResetClients();
        SV_ResetHandshake();
        Cmd_Reset(sv_args);
        Snap_Reset();
        MSG_Reset();
        NET_Reset();
        Netchan_Reset();
        Sys_ResetOptions();
        curtime = 100000;

        net_udp_socket = UDP_OpenSocket(0);
        std::array<uint8_t, 4> ip{};
        ASSERT_TRUE(Sys_SocketName(net_udp_socket, ip, server_port_));

        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        log_file_ = std::filesystem::temp_directory_path() /
                    (std::string("sv_") + std::to_string(getpid()) + "_" + info->test_suite_name() + "_" +
                     info->name() + ".log");
        ASSERT_LT(log_file_.string().size(), sizeof log_path);
        std::snprintf(log_path, sizeof log_path, "%s", log_file_.string().c_str());
        std::ofstream(log_file_, std::ios::trunc).close();
        log_enabled = 1;
    }

    void TearDown() override {
        log_enabled = 0;
        Sys_CloseSocket(net_udp_socket);
        net_udp_socket = NET_INVALID_SOCKET;
        std::error_code ignored;
        std::filesystem::remove(log_file_, ignored);
    }

    // Sends from `peer` and lets the server read everything that waits.
    void Deliver(SvPeer& peer, const Bytes& data) {
        peer.Send(data, server_port_);
        Sys_WaitForSocket(net_udp_socket, 200000);
        SV_ReadPackets();
    }

    // The text after FF FF FF FF of the server's reply, or "<none>".
    std::string Reply(SvPeer& peer) {
        Bytes b;
        if (!peer.Receive(b)) return "<none>";
        if (b.size() < 4 || SvLong(b, 0) != 0xFFFFFFFFu) return "<not out-of-band>";
        return std::string(b.begin() + 4, b.end());
    }

    // getchallenge, then the challenge the server replied with.
    int32_t Challenge(SvPeer& peer) {
        Deliver(peer, SvOob("getchallenge"));
        std::string reply = Reply(peer);
        EXPECT_EQ(reply.substr(0, 1), "c");
        return static_cast<int32_t>(std::stol(reply.substr(1)));
    }

    // A full handshake; returns the slot index taken, or -1.
    int Connect(SvPeer& peer, int qport, const std::string& name, int device_type = 0) {
        int32_t challenge = Challenge(peer);
        Deliver(peer, SvOob("connect 1 " + std::to_string(qport) + " " +
                            std::to_string(challenge) + " \"" + name + "\" " +
                            std::to_string(device_type)));
        if (Reply(peer) != "j") return -1;
        for (int i = 0; i < MAX_CLIENTS; i++) {
            if (sv_clients[i].state == CLIENT_CONNECTED &&
                NET_SameAddress(sv_clients[i].netchan.remote_address, peer.Address()) &&
                sv_clients[i].netchan.qport == qport)
                return i;
        }
        return -1;
    }

    std::string Log() {
        std::ifstream in(log_file_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    size_t Count(const std::string& text) {
        std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    }

    void ClearLog() { std::ofstream(log_file_, std::ios::trunc).close(); }

    uint16_t server_port_ = 0;   // network order
    std::filesystem::path log_file_;
};

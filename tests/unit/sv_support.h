// tests/unit/sv_support.h: the server's socket on a free port of 127.0.0.1,
// dashboards as UDP sockets beside it, and the debug log read back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "relay/relay.h"
#include "server/handshake.h"
#include "server/intake.h"
#include "server/send.h"
#include "shell/log.h"
#include "shell/sys.h"
#include "telemetry/snapshot.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Private to each test file, so that no name here meets another file's.
namespace {

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Four 0xFF bytes, then the text: an out-of-band request.
inline Bytes Oob(const std::string& text) {
    Bytes out(4 + text.size(), 0xFF);
    std::copy(text.begin(), text.end(), out.begin() + 4);
    return out;
}

// A packet header as the server sends it: sequence and acknowledgement,
// little-endian, bit 31 their reliable flags.
inline Bytes Header(uint32_t sequence, uint32_t ack) {
    Bytes out;
    for (uint32_t v : {sequence, ack})
        for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}
// A client's packet: the same header, its qport, then its commands.
inline Bytes Sequenced(uint32_t sequence, uint32_t ack, uint16_t qport, const Bytes& commands = {}) {
    return Header(sequence, ack) + Bytes{static_cast<uint8_t>(qport), static_cast<uint8_t>(qport >> 8)} + commands;
}

// A dashboard: a non-blocking UDP socket on a free port.
class Dash {
public:
    Dash() {
        std::array<uint8_t, 4> ip{};
        EXPECT_TRUE(Sys_SetNonBlocking(sock_) && Sys_BindAny(sock_, 0) && Sys_SocketName(sock_, ip, port_));
    }
    ~Dash() { Sys_CloseSocket(sock_); }

    // This dashboard as the server sees it.
    NetAddress Address() const { return NetAddress{{127, 0, 0, 1}, port_}; }
    std::string Name() const { return NET_AddressToString(Address()); }

    void Send(uint16_t to_port, const Bytes& bytes) const {
        ASSERT_EQ(Sys_SendTo(sock_, bytes.data(), static_cast<int>(bytes.size()), {127, 0, 0, 1}, to_port),
                  static_cast<int>(bytes.size()));
    }
    // The next datagram to arrive within `ms`, if one does.
    std::optional<Bytes> Next(int ms = 1000) const {
        Bytes out(2048);
        std::array<uint8_t, 4> ip{};
        uint16_t port = 0;
        const int n = Sys_WaitForSocket(sock_, ms * 1000) > 0 ? Sys_RecvFrom(sock_, out.data(), 2048, ip, port) : -1;
        if (n < 0) return std::nullopt;
        out.resize(static_cast<size_t>(n));
        return out;
    }

private:
    NetSocket sock_ = Sys_UdpSocket();
    uint16_t port_ = 0;
};

// Fresh server, relay and snapshot state, the server's socket open, and the
// debug log on into a file of this test's own.
class SvServer : public ::testing::Test {
protected:
    void SetUp() override {
        SV_ResetClients();
        SV_ResetHandshake();
        Snap_Reset();
        Relay_Reset();
        MSG_Reset();
        Sys_ResetOptions();   // before the log goes on: it clears option d
        log_path_ = ::testing::TempDir() + "tarmis_sv_" + std::to_string(getpid()) + ".log";
        std::snprintf(log_path, sizeof log_path, "%s", log_path_.c_str());
        TakeLog();
        log_enabled = 1;
        curtime = 100000;
        net_udp_socket = UDP_OpenSocket(0);
        std::array<uint8_t, 4> ip{};
        ASSERT_TRUE(Sys_SocketName(net_udp_socket, ip, port_));
    }
    void TearDown() override {
        log_enabled = 0;
        std::remove(log_path_.c_str());
        Sys_CloseSocket(net_udp_socket);
    }

    // The messages logged since the last call, time stamps taken off.
    Lines TakeLog() {
        Lines lines;
        std::ifstream in(log_path_, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(" - ");   // a record's second line has no stamp
            lines.push_back(at == std::string::npos ? line : line.substr(at + 3));
        }
        std::ofstream(log_path_, std::ios::trunc).close();
        return lines;
    }
    // Sends from `dash` and lets the server read everything that waits.
    void Deliver(const Dash& dash, const Bytes& data) {
        dash.Send(port_, data);
        Sys_WaitForSocket(net_udp_socket, 500000);
        SV_ReadPackets();
    }
    // The text of the server's out-of-band reply, or "<none>".
    std::string Reply(const Dash& dash) {
        const std::optional<Bytes> b = dash.Next(200);
        if (!b || b->size() < 4 || Bytes(b->begin(), b->begin() + 4) != Bytes(4, 0xFF)) return "<none>";
        return std::string(b->begin() + 4, b->end());
    }
    // A whole handshake, the log emptied after it; true when accepted. Slots
    // fill in order, so the nth accepted dashboard has slot n - 1.
    bool Connect(const Dash& dash, int qport, const std::string& name, int device_type = 0) {
        Deliver(dash, Oob("getchallenge"));
        Deliver(dash, Oob("connect 1 " + std::to_string(qport) + " " + Reply(dash).substr(1) + " \"" + name +
                          "\" " + std::to_string(device_type)));
        TakeLog();
        return Reply(dash) == "j";
    }
    // One main-loop pass of sending at `now`.
    void Pass(uint32_t now) {
        curtime = now;
        frame_count++;
        SV_SendUpdates();
    }

    std::string log_path_;
    uint16_t port_ = 0;   // network order
};

}  // namespace

// tests/unit/net_test_support.h: what the network tests share — the debug
// log captured in a file of their own, and a peer socket on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <chrono>
#include <vector>

#include "net/msg.h"
#include "net/udp.h"
#include "platform/net.h"
#include "shell/log.h"
#include "test_peer.h"

// Turns the debug log on into a fresh file for the life of the object, so a
// test can read back what Sys_Printf and Sys_Error wrote.
class LogCapture {
public:
    LogCapture() {
        static int serial;
        path_ = ::testing::TempDir() + "net_log_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
                std::to_string(serial++) + ".txt";
        std::remove(path_.c_str());
        std::snprintf(log_path, sizeof log_path, "%s", path_.c_str());
        log_enabled = 1;
    }
    ~LogCapture() {
        log_enabled = 0;
        std::remove(path_.c_str());
    }
    std::string Text() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Has(const std::string& piece) const { return Text().find(piece) != std::string::npos; }

private:
    std::string path_;
};

// Opens the server's socket on a free port (port 0, read back) and returns
// its address on 127.0.0.1.
inline NetAddress OpenServerSocket() {
    NET_Reset();
    MSG_Reset();
    net_udp_socket = UDP_OpenSocket(0);
    std::array<uint8_t, 4> ip{};
    uint16_t port = 0;
    EXPECT_TRUE(Sys_SocketName(net_udp_socket, ip, port));
    return NetAddress{{127, 0, 0, 1}, port};
}

inline void CloseServerSocket() {
    Sys_CloseSocket(net_udp_socket);
    NET_Reset();
}

// Waits (bounded) for the next datagram on the server's socket and reads it
// with NET_GetPacket; returns what NET_GetPacket returned, or -1 when no
// datagram arrived in time.
inline int ServerReceive(int timeout_ms = 2000) {
    if (Sys_WaitForSocket(net_udp_socket, timeout_ms * 1000) <= 0) return -1;
    return NET_GetPacket();
}

// Places `bytes` in net_received as if they had just been received.
inline void SetReceived(const std::vector<uint8_t>& bytes) {
    MSG_Reset();
    std::copy(bytes.begin(), bytes.end(), net_received_data.begin());
    net_received.cursize = static_cast<int32_t>(bytes.size());
    MSG_BeginReading();
}

// The bytes a buffer holds.
inline std::vector<uint8_t> Bytes(const SizeBuffer& buf) {
    return std::vector<uint8_t>(buf.data, buf.data + buf.cursize);
}

// tests/integration/udp_client.h: a raw dashboard client for the end-to-end
// tests of the running server.
//
// It speaks the wire protocol byte by byte: out-of-band requests (four 0xFF
// bytes, then text) and sequenced packets (sequence, acknowledgement, qport,
// then the client's command bytes). It sends only to 127.0.0.1, and every
// receive is bounded by a timeout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One datagram from the server.
struct Datagram {
    Bytes bytes;
    double stamp_ms = 0;  // the kernel's receive time (wall clock; only
                          // differences count): on loopback, the send time
};

// The little-endian 32-bit value at `at`.
uint32_t Udp_Long(const Bytes& b, size_t at);

// True when a new client's getchallenge to `port` is answered within 100 ms.
bool Udp_AnswersAtOnce(int port);

class UdpClient {
public:
    // A socket on 127.0.0.1 with a port of its own, talking to `server_port`.
    // `qport` is the channel tag this client puts in its sequenced packets.
    UdpClient(int server_port, uint16_t qport);
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    int LocalPort() const { return local_port_; }

    void SendRaw(const Bytes& bytes);
    void SendOob(const std::string& text);
    // A sequenced packet: the next sequence number, an acknowledgement of
    // the latest server packet seen, the qport, then `commands`.
    void SendSequenced(const Bytes& commands);
    // Sets the number of the next sequenced packet.
    void SetNextSequence(uint32_t n) { next_sequence_ = n; }

    // The next datagram within `ms`.
    bool Receive(Datagram& out, int ms);
    // The text of the next out-of-band reply within `ms`, or "<none>";
    // sequenced packets that arrive meanwhile are dropped.
    std::string OobReply(int ms);
    // Reads and drops what arrives within `ms`; returns how many datagrams.
    int Drain(int ms);
    // getchallenge (asked again every 500 ms until answered, within `ms`),
    // then connect with version 1, this client's qport, the challenge,
    // "name" in quotes and the device type. Returns the reply to the
    // connect, or "<none>".
    std::string Join(const std::string& name, int device_type, int ms);

private:
    int fd_ = -1;
    int local_port_ = 0;
    int server_port_ = 0;
    uint16_t qport_ = 0;
    uint32_t next_sequence_ = 1;
    uint32_t last_server_sequence_ = 0;
};

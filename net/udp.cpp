// net/udp.cpp: the server's UDP socket, peer addresses and the start-up
// line of local addresses.
#include "net/udp.h"

#include <cstdio>

#include "net/msg.h"
#include "shell/log.h"

NetSocket net_udp_socket = NET_INVALID_SOCKET;
NetAddress net_sender;
char net_address_text[NET_ADDRESS_TEXT_SIZE];
NetPacketSource net_packet_source = nullptr;

NetSocket UDP_OpenSocket(uint16_t port) {
    NetSocket sock = Sys_UdpSocket();
    if (sock == NET_INVALID_SOCKET) Sys_Error("UDP_OpenSocket: socket:");
    if (!Sys_SetNonBlocking(sock)) Sys_Error("UDP_OpenSocket: ioctl FIONBIO:");
    if (!Sys_BindAny(sock, Sys_HostToNetShort(port)))
        Sys_Error("UDP_OpenSocket: bind: %s", Sys_NetErrorText(Sys_NetLastError()));
    return sock;
}

void NET_PrintAddressList(const std::array<uint8_t, 4>* ips, int count) {
    if (count < 0) {
        std::printf("IP address (use in app settings) = Unknown\n");
        return;
    }
    std::printf("IP address (use in app settings) = ");
    for (int i = 0; i < count; i++) {
        if (i > 0) std::printf(" or ");
        std::printf("%u.%u.%u.%u", ips[i][0], ips[i][1], ips[i][2], ips[i][3]);
    }
    std::printf("\n");
}

void NET_PrintLocalAddresses() {
    std::array<std::array<uint8_t, 4>, NET_MAX_LOCAL_ADDRESSES> ips{};
    int count = Sys_LocalAddresses(ips.data(), NET_MAX_LOCAL_ADDRESSES);
    NET_PrintAddressList(ips.data(), count);
}

int NET_GetPacket() {
    std::array<uint8_t, 4> ip{};
    uint16_t port = 0;
    if (net_packet_source != nullptr) {
        int length = net_packet_source(net_received_data.data(), NET_RECEIVED_SIZE, ip, port);
        if (length < 0 || length > NET_RECEIVED_SIZE) return 0;   // nothing waiting
        net_sender.ip = ip;
        net_sender.port = port;
        net_received.cursize = length;
        return length;
    }
    int length = Sys_RecvFrom(net_udp_socket, net_received_data.data(), NET_RECEIVED_SIZE, ip, port);
    if (length < 0) {
        int err = Sys_NetLastError();
        if (err != NET_ERR_WOULDBLOCK && err != NET_ERR_CONNREFUSED)
            Sys_Printf("NET_GetPacket: %s\n", Sys_NetErrorText(err));
        return 0;
    }
    net_sender.ip = ip;
    net_sender.port = port;
    net_received.cursize = length;
    return length;
}

void NET_SendPacket(int length, const void* data, NetAddress to) {
    if (Sys_SendTo(net_udp_socket, data, length, to.ip, to.port) < 0) {
        int err = Sys_NetLastError();
        if (err != NET_ERR_WOULDBLOCK) Sys_Printf("NET_SendPacket ERROR: %i\n", err);
    }
}

bool NET_SameHost(NetAddress a, NetAddress b) {
    return a.ip == b.ip;
}

bool NET_SameAddress(NetAddress a, NetAddress b) {
    return a.ip == b.ip && a.port == b.port;
}

const char* NET_AddressToString(NetAddress a) {
    std::snprintf(net_address_text, sizeof net_address_text, "%i.%i.%i.%i:%i", a.ip[0], a.ip[1],
                  a.ip[2], a.ip[3], Sys_NetToHostShort(a.port));
    return net_address_text;
}

NetAddress NET_MakeAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t host_port) {
    return NetAddress{{a, b, c, d}, Sys_HostToNetShort(host_port)};
}

void NET_Reset() {
    net_udp_socket = NET_INVALID_SOCKET;
    net_sender = NetAddress{};
    net_address_text[0] = 0;
    net_packet_source = nullptr;
}

// platform/win32/net_win32.cpp: the UDP socket and the host's addresses on
// Windows, with Windows Sockets 1.1.
#include "platform/net.h"

#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstring>

// The error of the last failed socket call of this thread.
static thread_local int net_last_error;

static int Sys_SaveError() {
    net_last_error = WSAGetLastError();
    return -1;
}

bool Sys_NetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

NetSocket Sys_UdpSocket() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        Sys_SaveError();
        return NET_INVALID_SOCKET;
    }
    return static_cast<NetSocket>(s);
}

bool Sys_SetNonBlocking(NetSocket sock) {
    u_long on = 1;
    if (ioctlsocket(static_cast<SOCKET>(sock), FIONBIO, &on) == SOCKET_ERROR) {
        Sys_SaveError();
        return false;
    }
    return true;
}

bool Sys_BindAny(NetSocket sock, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = INADDR_ANY;
    addr.sin_port = port;
    if (bind(static_cast<SOCKET>(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
        SOCKET_ERROR) {
        Sys_SaveError();
        return false;
    }
    return true;
}

void Sys_CloseSocket(NetSocket sock) {
    if (sock != NET_INVALID_SOCKET) closesocket(static_cast<SOCKET>(sock));
}

int Sys_RecvFrom(NetSocket sock, uint8_t* buf, int size, std::array<uint8_t, 4>& ip,
                 uint16_t& port) {
    sockaddr_in from{};
    int fromlen = sizeof from;
    // A datagram longer than the buffer fails with WSAEMSGSIZE (and is gone).
    int n = recvfrom(static_cast<SOCKET>(sock), reinterpret_cast<char*>(buf), size, 0,
                     reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n == SOCKET_ERROR) return Sys_SaveError();
    std::memcpy(ip.data(), &from.sin_addr.s_addr, 4);
    port = from.sin_port;
    return n;
}

int Sys_SendTo(NetSocket sock, const void* data, int length, const std::array<uint8_t, 4>& ip,
               uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    std::memcpy(&to.sin_addr.s_addr, ip.data(), 4);
    int n = sendto(static_cast<SOCKET>(sock), static_cast<const char*>(data), length < 0 ? 0 : length,
                   0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n == SOCKET_ERROR) return Sys_SaveError();
    return n;
}

int Sys_NetLastError() {
    return net_last_error;
}

// Short texts of the socket errors the server is likely to meet.
static const char* Sys_WinsockErrorName(int code) {
    switch (code) {
    case WSAEINTR: return "Interrupted function call";
    case WSAEACCES: return "Permission denied";
    case WSAEFAULT: return "Bad address";
    case WSAEINVAL: return "Invalid argument";
    case WSAEMFILE: return "Too many open sockets";
    case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
    case WSAENOTSOCK: return "Socket operation on nonsocket";
    case WSAEMSGSIZE: return "Message too long";
    case WSAEADDRINUSE: return "Address already in use";
    case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
    case WSAENETDOWN: return "Network is down";
    case WSAENETUNREACH: return "Network is unreachable";
    case WSAENETRESET: return "Network dropped connection on reset";
    case WSAECONNRESET: return "Connection reset by peer";
    case WSAENOBUFS: return "No buffer space available";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAEHOSTUNREACH: return "No route to host";
    case WSANOTINITIALISED: return "Successful WSAStartup not yet performed";
    default: return nullptr;
    }
}

const char* Sys_NetErrorText(int code) {
    static thread_local char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    // The system's text ends with a line break; the callers add their own.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
    if (n == 0) {
        // Some systems (Wine among them) have no text for socket errors.
        const char* known = Sys_WinsockErrorName(code);
        if (known != nullptr)
            std::snprintf(text, sizeof text, "%s (%d)", known, code);
        else
            std::snprintf(text, sizeof text, "Winsock error %d", code);
    } else {
        text[n] = 0;
    }
    return text;
}

int Sys_WaitForSocket(NetSocket sock, int microseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(sock), &readable);
    timeval timeout{};
    timeout.tv_sec = microseconds / 1000000;
    timeout.tv_usec = microseconds % 1000000;
    int n = select(0, &readable, nullptr, nullptr, &timeout);
    return n == SOCKET_ERROR ? -1 : n;
}

uint16_t Sys_HostToNetShort(uint16_t value) {
    return htons(value);
}

uint16_t Sys_NetToHostShort(uint16_t value) {
    return ntohs(value);
}

int Sys_LocalAddresses(std::array<uint8_t, 4>* out, int max) {
    char name[256] = {};
    if (gethostname(name, 255) == SOCKET_ERROR) return -1;
    name[255] = 0;
    hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addr_list == nullptr) return -1;
    int count = 0;
    for (char** a = host->h_addr_list; *a != nullptr && count < max; a++) {
        if (host->h_length != 4) break;
        std::memcpy(out[count].data(), *a, 4);
        count++;
    }
    return count;
}

bool Sys_HostName(char* buf, int size) {
    if (size < 2) return false;
    buf[size - 1] = 0;
    if (gethostname(buf, size - 1) == SOCKET_ERROR) return false;
    return buf[0] != 0;
}

bool Sys_SocketName(NetSocket sock, std::array<uint8_t, 4>& ip, uint16_t& port) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(static_cast<SOCKET>(sock), reinterpret_cast<sockaddr*>(&addr), &len) ==
        SOCKET_ERROR)
        return false;
    std::memcpy(ip.data(), &addr.sin_addr.s_addr, 4);
    port = addr.sin_port;
    return true;
}

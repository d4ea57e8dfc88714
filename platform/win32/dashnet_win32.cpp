// platform/win32/dashnet_win32.cpp: the dashboard stand-in's UDP socket on
// Windows Sockets 1.1.
#include "platform/dashnet.h"

#include <winsock.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

static SOCKET dashnet_sockets[DASHNET_MAX_SOCKETS] = {
    INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET,
    INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET};
static bool dashnet_started;

static bool DashNet_Valid(int sock) {
    return sock >= 0 && sock < DASHNET_MAX_SOCKETS && dashnet_sockets[sock] != INVALID_SOCKET;
}

static bool DashNet_Startup() {
    if (dashnet_started) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    dashnet_started = true;
    return true;
}

// Four decimal parts 0..255 separated by dots, nothing else: inet_addr
// also takes shorthand and octal forms, so the text is checked here.
static bool DashNet_ParseDotted(const char* host, DashAddr& out) {
    int parts = 0;
    const char* p = host;
    uint8_t ip[4];
    while (parts < 4) {
        int value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + (*p - '0');
            p++;
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ip[parts++] = static_cast<uint8_t>(value);
        if (parts < 4) {
            if (*p != '.') return false;
            p++;
        }
    }
    if (*p != 0) return false;
    std::memcpy(out.ip, ip, 4);
    return true;
}

bool DashNet_Resolve(const char* host, DashAddr& out) {
    if (host == nullptr || *host == 0) return false;
    if (std::strspn(host, "0123456789.") == std::strlen(host)) return DashNet_ParseDotted(host, out);
    // Windows Sockets 1.1 resolves names with gethostbyname; its result is
    // the library's own per-thread record, copied out at once.
    if (!DashNet_Startup()) return false;
    const hostent* h = gethostbyname(host);
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list == nullptr ||
        h->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(out.ip, h->h_addr_list[0], 4);
    return true;
}

int DashNet_Open(uint16_t port) {
    if (!DashNet_Startup()) return -1;
    int slot = 0;
    while (slot < DASHNET_MAX_SOCKETS && dashnet_sockets[slot] != INVALID_SOCKET) slot++;
    if (slot == DASHNET_MAX_SOCKETS) return -1;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return -1;
    u_long nonblocking = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        closesocket(s);
        return -1;
    }
    dashnet_sockets[slot] = s;
    return slot;
}

uint16_t DashNet_LocalPort(int sock) {
    if (!DashNet_Valid(sock)) return 0;
    sockaddr_in local{};
    int len = sizeof local;
    if (getsockname(dashnet_sockets[sock], reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

bool DashNet_Send(int sock, const DashAddr& to, const uint8_t* data, int length) {
    if (!DashNet_Valid(sock) || length < 0) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    std::memcpy(&peer.sin_addr.s_addr, to.ip, 4);
    peer.sin_port = htons(to.port);
    int n = sendto(dashnet_sockets[sock], reinterpret_cast<const char*>(data), length, 0,
                   reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    return n == length;
}

int DashNet_Receive(int sock, uint8_t* buf, int size, DashAddr& from, int timeout_ms) {
    if (!DashNet_Valid(sock) || size < 0) return DASHNET_ERROR;
    SOCKET s = dashnet_sockets[sock];
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    if (timeout_ms < 0) timeout_ms = 0;
    timeval wait{};
    wait.tv_sec = timeout_ms / 1000;
    wait.tv_usec = (timeout_ms % 1000) * 1000;
    int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return DASHNET_ERROR;
    if (ready == 0) return DASHNET_TIMEOUT;
    sockaddr_in peer{};
    int len = sizeof peer;
    int n = recvfrom(s, reinterpret_cast<char*>(buf), size, 0,
                     reinterpret_cast<sockaddr*>(&peer), &len);
    if (n == SOCKET_ERROR) {
        int err = WSAGetLastError();
        // An earlier datagram to a closed port comes back as a reset here.
        if (err == WSAEWOULDBLOCK || err == WSAECONNRESET || err == WSAEMSGSIZE)
            return DASHNET_TIMEOUT;
        return DASHNET_ERROR;
    }
    std::memcpy(from.ip, &peer.sin_addr.s_addr, 4);
    from.port = ntohs(peer.sin_port);
    return n;
}

void DashNet_Close(int sock) {
    if (!DashNet_Valid(sock)) return;
    closesocket(dashnet_sockets[sock]);
    dashnet_sockets[sock] = INVALID_SOCKET;
}

// Writes an escape sequence that moves nothing and looks where the cursor
// went: a console that takes escapes leaves it in place, one that prints
// them as text moves it along, and those characters are blanked again.
static bool DashNet_EscapesWork(HANDLE out) {
    CONSOLE_SCREEN_BUFFER_INFO before, after;
    if (!GetConsoleScreenBufferInfo(out, &before)) return false;
    static const char probe[] = "\x1b[0m";
    DWORD written = 0;
    if (!WriteConsoleA(out, probe, sizeof probe - 1, &written, nullptr)) return false;
    if (!GetConsoleScreenBufferInfo(out, &after)) return false;
    if (after.dwCursorPosition.X == before.dwCursorPosition.X &&
        after.dwCursorPosition.Y == before.dwCursorPosition.Y)
        return true;
    DWORD blanked = 0;
    FillConsoleOutputCharacterA(out, ' ', sizeof probe - 1, before.dwCursorPosition, &blanked);
    SetConsoleCursorPosition(out, before.dwCursorPosition);
    return false;
}

bool DashNet_StdoutIsTerminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) return false;
    SetConsoleOutputCP(CP_UTF8);
    // 0x0004: ENABLE_VIRTUAL_TERMINAL_PROCESSING, the console's ANSI mode
    // (Windows 10 and later; older consoles refuse it).
    if (!SetConsoleMode(out, mode | 0x0004)) return false;
    if (DashNet_EscapesWork(out)) return true;
    SetConsoleMode(out, mode);
    return false;
}

// The console behind `to` (standard output or error), or null when `to` is
// a pipe, a file or another stream.
static HANDLE DashNet_ConsoleOf(FILE* to) {
    DWORD which = to == stdout ? STD_OUTPUT_HANDLE : to == stderr ? STD_ERROR_HANDLE : 0;
    if (which == 0) return nullptr;
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) return nullptr;
    return h;
}

void DashNet_WriteText(FILE* to, const char* text, int length) {
    if (length <= 0) return;
    HANDLE console = DashNet_ConsoleOf(to);
    if (console == nullptr) {
        std::fwrite(text, 1, static_cast<size_t>(length), to);
        return;
    }
    // What the stream holds goes first, so that the order stays.
    std::fflush(to);
    constexpr int PIECE = 4096;
    static thread_local wchar_t wide[PIECE];
    int done = 0;
    while (done < length) {
        int piece = std::min(length - done, PIECE);
        // Cut between characters, never inside one (continuation bytes
        // are 10xxxxxx).
        int cut = piece;
        while (done + cut < length && cut > 0 &&
               (static_cast<unsigned char>(text[done + cut]) & 0xC0) == 0x80)
            cut--;
        if (cut > 0) piece = cut;
        int n = MultiByteToWideChar(CP_UTF8, 0, text + done, piece, wide, PIECE);
        DWORD written = 0;
        if (n > 0) WriteConsoleW(console, wide, static_cast<DWORD>(n), &written, nullptr);
        done += piece;
    }
}

bool DashNet_OwnConsole() {
    DWORD ids[2];
    return GetConsoleProcessList(ids, 2) == 1;
}

void DashNet_WaitForKey() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !GetConsoleMode(in, &mode)) return;
    FlushConsoleInputBuffer(in);
    for (;;) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputW(in, &record, 1, &read)) return;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

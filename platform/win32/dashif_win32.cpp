// platform/win32/dashif_win32.cpp: the adapters and addresses of this PC for
// the dashboard client's start-up lines (IP Helper; Windows Sockets 2
// headers, which cannot share a file with dashnet_win32.cpp's 1.1 ones).
#include "platform/dashnet.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

// UTF-16 text of the system into a bounded UTF-8 field.
static void DashIf_Utf8(const wchar_t* wide, char* out, int size) {
    out[0] = 0;
    if (wide == nullptr) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr);
    if (n <= 0) out[0] = 0;   // too long for the field: left out
    out[size - 1] = 0;
}

static int DashIf_Link(DWORD type) {
    switch (type) {
    case IF_TYPE_ETHERNET_CSMACD: return DASHNET_LINK_ETHERNET;
    case IF_TYPE_IEEE80211: return DASHNET_LINK_WIRELESS;
    case IF_TYPE_SOFTWARE_LOOPBACK: return DASHNET_LINK_LOOPBACK;
    case IF_TYPE_TUNNEL:
    case IF_TYPE_PPP: return DASHNET_LINK_TUNNEL;
    default: return DASHNET_LINK_OTHER;
    }
}

int DashNet_Adapters(DashAdapter* out, int max) {
    // The list's size is known only by asking; adapters may come and go in
    // between, hence a few tries.
    std::vector<unsigned char> buf(16384);
    ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; tries++) {
        ULONG size = static_cast<ULONG>(buf.size());
        result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
        if (result == ERROR_BUFFER_OVERFLOW) buf.resize(size);
    }
    if (result != NO_ERROR) return -1;
    int count = 0;
    for (auto* ad = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); ad != nullptr && count < max;
         ad = ad->Next) {
        if (ad->OperStatus != IfOperStatusUp) continue;
        for (auto* u = ad->FirstUnicastAddress; u != nullptr && count < max; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET) continue;
            DashAdapter& a = out[count++];
            a = DashAdapter{};
            std::memcpy(a.ip, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr, 4);
            DashIf_Utf8(ad->FriendlyName, a.name, sizeof a.name);
            DashIf_Utf8(ad->Description, a.description, sizeof a.description);
            a.link = DashIf_Link(ad->IfType);
            a.has_device = true;   // Windows does not say; the description does
        }
    }
    return count;
}

// tools/dash/dash_where.cpp: the --web page's addresses and their QR codes.
//
// The codes come from the QR Code generator library (third_party/qrcodegen,
// from Debian's qr-code-generator source package).
#include "tools/dash/dash_where.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "qrcodegen.hpp"

// Case-insensitive search of `needle` in `text`.
static bool DashWhere_Contains(const char* text, const char* needle) {
    size_t n = std::strlen(needle);
    for (const char* p = text; *p != 0; p++) {
        size_t i = 0;
        while (i < n && p[i] != 0 &&
               std::tolower(static_cast<unsigned char>(p[i])) == std::tolower(static_cast<unsigned char>(needle[i])))
            i++;
        if (i == n) return true;
    }
    return false;
}

bool DashWhere_IsVirtual(const DashAdapter& a) {
    if (a.link == DASHNET_LINK_TUNNEL || !a.has_device) return true;
    // Linux interface names of bridges, containers, virtual machines, VPNs.
    static const char* const prefixes[] = {"docker", "veth", "virbr", "vboxnet", "vmnet", "tun",
                                           "tap",    "wg",   "br-",   "zt",      "tailscale"};
    for (const char* p : prefixes)
        if (std::strncmp(a.name, p, std::strlen(p)) == 0) return true;
    // Windows adapter descriptions and connection names: "Hyper-V Virtual
    // Ethernet Adapter" (WSL's "vEthernet (WSL)"), "VirtualBox Host-Only
    // Ethernet Adapter", "VMware Virtual Ethernet Adapter", "TAP-Windows
    // Adapter V9", the VPN clients' own adapters.
    static const char* const words[] = {"Hyper-V", "VirtualBox", "VMware", "WSL", "VPN",
                                        "TAP-",    "Virtual",    "Tunnel", "vEthernet"};
    for (const char* w : words)
        if (DashWhere_Contains(a.description, w) || DashWhere_Contains(a.name, w)) return true;
    return false;
}

int DashWhere_Order(DashAdapter* list, int n) {
    DashAdapter* end = std::remove_if(list, list + n, [](const DashAdapter& a) {
        return a.link == DASHNET_LINK_LOOPBACK || a.ip[0] == 127;
    });
    for (DashAdapter* a = list; a != end; a++) a->is_virtual = DashWhere_IsVirtual(*a);
    std::stable_partition(list, end, [](const DashAdapter& a) { return !a.is_virtual; });
    return static_cast<int>(end - list);
}

int DashWhere_DrawQr(const char* text, char* out, int size) {
    using qrcodegen::QrCode;
    // A URL is far below the largest code; a text that does not fit is
    // refused (the address is printed all the same).
    int modules = 0;
    std::vector<bool> dark;
    try {
        QrCode qr = QrCode::encodeText(text, QrCode::Ecc::MEDIUM);
        modules = qr.getSize();
        dark.resize(static_cast<size_t>(modules) * static_cast<size_t>(modules));
        for (int y = 0; y < modules; y++)
            for (int x = 0; x < modules; x++)
                dark[static_cast<size_t>(y * modules + x)] = qr.getModule(x, y);
    } catch (const std::exception&) {
        return 0;
    }
    const int side = modules + 2 * DASHWHERE_QUIET;
    // light(x, y) in the code with its quiet zone; below the last row is
    // the console's dark background.
    auto light = [&](int x, int y) {
        if (y >= side) return false;
        int qx = x - DASHWHERE_QUIET, qy = y - DASHWHERE_QUIET;
        if (qx < 0 || qy < 0 || qx >= modules || qy >= modules) return true;
        return !dark[static_cast<size_t>(qy * modules + qx)];
    };
    static const char* const cells[4] = {" ", "\u2584", "\u2580", "\u2588"};   // none, lower, upper, both
    int len = 0;
    for (int y = 0; y < side; y += 2) {
        for (int x = 0; x < side; x++) {
            const char* c = cells[(light(x, y) ? 2 : 0) | (light(x, y + 1) ? 1 : 0)];
            int n = static_cast<int>(std::strlen(c));
            if (len + n + 2 > size) return 0;
            std::memcpy(out + len, c, static_cast<size_t>(n));
            len += n;
        }
        out[len++] = '\n';
    }
    out[len] = 0;
    return len;
}

void DashWhere_Print(const char* host, int port, FILE* out) {
    if (std::strcmp(host, "0.0.0.0") != 0) {
        std::fprintf(out, "web dashboard: open http://%s:%d/ in a browser\n", host, port);
        std::fflush(out);
        return;
    }
    static DashAdapter adapters[DASHNET_MAX_ADAPTERS];
    int n = DashNet_Adapters(adapters, DASHNET_MAX_ADAPTERS);
    n = n > 0 ? DashWhere_Order(adapters, n) : 0;
    if (n == 0) {
        std::fprintf(out, "web dashboard: this PC has no network address; on this PC: http://127.0.0.1:%d/\n",
                     port);
        std::fflush(out);
        return;
    }
    std::fprintf(out, "web dashboard: point the phone's camera at a code below, or type the address\n"
                      "above it in the phone's browser (the phone on the same network as this PC):\n");
    static char qr[DASHWHERE_QR_MAX];
    for (int i = 0; i < n; i++) {
        const DashAdapter& a = adapters[i];
        char url[40];
        std::snprintf(url, sizeof url, "http://%u.%u.%u.%u:%d/", a.ip[0], a.ip[1], a.ip[2], a.ip[3], port);
        if (a.is_virtual)
            std::fprintf(out, "%s  on %s: virtual adapter, not for the phone\n", url, a.name);
        else std::fprintf(out, "%s  on %s\n", url, a.name);
        int len = DashWhere_DrawQr(url, qr, sizeof qr);
        std::fflush(out);
        DashNet_WriteText(out, qr, len);
    }
    std::fprintf(out, "On this PC itself: http://127.0.0.1:%d/\n", port);
    std::fflush(out);
}

// Which of this PC's addresses the phone is shown, and in which order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tools/dash/dash_where.h"

namespace {

DashAdapter Adapter(uint8_t last, const char* name, const char* description, int link, bool has_device) {
    DashAdapter a{};
    a.ip[0] = 192;
    a.ip[1] = 168;
    a.ip[2] = 1;
    a.ip[3] = last;
    std::snprintf(a.name, sizeof a.name, "%s", name);
    std::snprintf(a.description, sizeof a.description, "%s", description);
    a.link = link;
    a.has_device = has_device;
    return a;
}

}  // namespace

TEST(DashWhere, TellsVirtualAdaptersFromRealOnes) {
    struct Case {
        const char* name;
        const char* description;
        int link;
        bool has_device;
        bool is_virtual;
    };
    const Case cases[] = {
        // Windows: the connection's name and the adapter's description.
        {"Ethernet", "Intel(R) Ethernet Connection (7) I219-V", DASHNET_LINK_ETHERNET, true, false},
        {"Wi-Fi", "Intel(R) Wi-Fi 6 AX201 160MHz", DASHNET_LINK_WIRELESS, true, false},
        {"vEthernet (WSL)", "Hyper-V Virtual Ethernet Adapter", DASHNET_LINK_ETHERNET, true, true},
        {"Ethernet 2", "VirtualBox Host-Only Ethernet Adapter", DASHNET_LINK_ETHERNET, true, true},
        {"VMware Network Adapter VMnet8", "VMware Virtual Ethernet Adapter for VMnet8", DASHNET_LINK_ETHERNET, true,
         true},
        {"Ethernet 3", "TAP-Windows Adapter V9", DASHNET_LINK_ETHERNET, true, true},
        {"Ethernet 4", "Cisco AnyConnect VPN Virtual Miniport Adapter", DASHNET_LINK_ETHERNET, true, true},
        {"NordLynx", "WireGuard Tunnel", DASHNET_LINK_OTHER, true, true},
        {"PPP adapter", "WAN Miniport (PPPOE)", DASHNET_LINK_TUNNEL, true, true},
        // Linux: interface names, and whether a device stands behind them.
        {"eth0", "", DASHNET_LINK_ETHERNET, true, false},
        {"wlp2s0", "", DASHNET_LINK_WIRELESS, true, false},
        {"docker0", "", DASHNET_LINK_ETHERNET, true, true},
        {"virbr0", "", DASHNET_LINK_ETHERNET, true, true},
        {"wg0", "", DASHNET_LINK_ETHERNET, true, true},
        {"tun0", "", DASHNET_LINK_TUNNEL, false, true},
        {"br0", "", DASHNET_LINK_ETHERNET, false, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DashWhere_IsVirtual(Adapter(1, c.name, c.description, c.link, c.has_device)), c.is_virtual)
            << c.name << " / " << c.description;
}

TEST(DashWhere, PutsRealAdaptersFirstMarksVirtualOnesAndLeavesLoopbackOut) {
    DashAdapter list[] = {
        Adapter(1, "vEthernet (WSL)", "Hyper-V Virtual Ethernet Adapter", DASHNET_LINK_ETHERNET, true),
        Adapter(2, "Loopback Pseudo-Interface 1", "Software Loopback Interface 1", DASHNET_LINK_LOOPBACK, true),
        Adapter(3, "Ethernet", "Realtek PCIe GbE Family Controller", DASHNET_LINK_ETHERNET, true),
        Adapter(4, "Ethernet 2", "VirtualBox Host-Only Ethernet Adapter", DASHNET_LINK_ETHERNET, true),
        Adapter(5, "Wi-Fi", "Intel(R) Wi-Fi 6 AX201 160MHz", DASHNET_LINK_WIRELESS, true),
    };
    ASSERT_EQ(DashWhere_Order(list, 5), 4);
    std::string order;
    for (int i = 0; i < 4; i++) order += std::to_string(list[i].ip[3]) + (list[i].is_virtual ? "v " : " ");
    EXPECT_EQ(order, "3 5 1v 4v ");
}

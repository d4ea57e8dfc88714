// platform/linux/window_linux.cpp: key messages to the simulator on Linux.
//
// The simulator (or its stand-in) receives on the abstract datagram address
// "\0iRacingSim/SimWinClass". There is no window to search for: the address
// itself is the target, and whether anybody listens shows only when a
// message is sent.
#include "platform/window.h"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

// The leading zero byte makes the name abstract; no file is made.
static const char SIM_ADDRESS[] = "\0iRacingSim/SimWinClass";

static sockaddr_un sim_address;
static socklen_t sim_address_len;
static int sim_socket = -1;

SysWindow Sys_FindSimWindow() {
    static_assert(sizeof(SIM_ADDRESS) - 1 <= sizeof(sim_address.sun_path), "name must fit");
    sim_address = sockaddr_un{};
    sim_address.sun_family = AF_UNIX;
    std::memcpy(sim_address.sun_path, SIM_ADDRESS, sizeof(SIM_ADDRESS) - 1);
    sim_address_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof(SIM_ADDRESS) - 1);
    return &sim_address;
}

static void Sys_PutLittleLong(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

void Sys_PostKeyMessage(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    if (window == nullptr) return;
    if (sim_socket < 0) {
        sim_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sim_socket < 0) return;
    }
    unsigned char datagram[12];
    Sys_PutLittleLong(datagram, message);
    Sys_PutLittleLong(datagram + 4, key);
    Sys_PutLittleLong(datagram + 8, flags);
    // MSG_DONTWAIT: a receiver that does not read must not hold up the
    // sender. With no receiver the send fails (ECONNREFUSED) and that is all.
    const sockaddr_un* to = static_cast<const sockaddr_un*>(window);
    (void)sendto(sim_socket, datagram, sizeof(datagram), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(to), sim_address_len);
}

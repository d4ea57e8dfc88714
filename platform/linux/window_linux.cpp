// platform/linux/window_linux.cpp: key messages to the simulator on Linux.
//
// The simulator (or its stand-in) receives on the abstract datagram address
// "\0iRacingSim/SimWinClass". There is no window to search for: the address
// itself is the target, and whether anybody listens shows only when a
// message is sent.
#include "platform/window.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char SIM_ADDRESS_NAME[] = "iRacingSim/SimWinClass";
constexpr size_t KEY_NAME_SIZE = 101;   // a name of at most 100 characters

static char key_name[KEY_NAME_SIZE];    // empty: the simulator's name
static sockaddr_un sim_address;
static socklen_t sim_address_len;
static int sim_socket = -1;

void Sys_SetKeyAddressForTests(const char* name) {
    key_name[0] = 0;
    if (name != nullptr) std::snprintf(key_name, sizeof(key_name), "%s", name);
}

SysWindow Sys_FindSimWindow() {
    const char* name = key_name[0] != 0 ? key_name : SIM_ADDRESS_NAME;
    size_t n = std::strlen(name);
    static_assert(KEY_NAME_SIZE + 1 <= sizeof(sim_address.sun_path), "name must fit");
    sim_address = sockaddr_un{};
    sim_address.sun_family = AF_UNIX;
    // The leading zero byte makes the name abstract; no file is made.
    sim_address.sun_path[0] = 0;
    std::memcpy(sim_address.sun_path + 1, name, n);
    sim_address_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
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

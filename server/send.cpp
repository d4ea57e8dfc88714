// server/send.cpp: update pacing and transmission.
#include "server/send.h"

#include <array>
#include <cstdint>

#include "net/msg.h"
#include "net/netchan.h"
#include "server/update.h"
#include "shell/log.h"
#include "shell/sys.h"

namespace {

// The frame slot of this pass; frame_count is unsigned, so it stays in 0..9
// when the counter wraps.
int SV_FrameSlot() {
    return static_cast<int>(frame_count % CLIENT_RATE_FRAMES);
}

int SV_RecentBytes(const ClientSlot& client) {
    int sum = 0;
    for (int32_t bytes : client.frame_bytes) {
        sum += bytes;
    }
    return sum;
}

void SV_EmptyBuffer(SizeBuffer& buf) {
    buf.cursize = 0;
    buf.overflowed = 0;
}

}  // namespace

void SV_SendClientUpdate(ClientSlot& client) {
    std::array<uint8_t, CLIENT_DATAGRAM_SIZE> msg_buf{};
    SizeBuffer msg{};
    msg.data = msg_buf.data();
    msg.maxsize = CLIENT_DATAGRAM_SIZE;
    msg.cursize = 0;
    msg.allowoverflow = 1;
    msg.overflowed = 0;

    SV_WriteUpdate(msg, client);

    if (client.datagram.overflowed) {
        Sys_Printf("WARNING: datagram overflowed for %s\n", client.name.data());
    } else if (client.datagram.cursize > 0) {
        SZ_Write(msg, client.datagram.data, client.datagram.cursize);
    }
    SV_EmptyBuffer(client.datagram);

    int length = msg.cursize;
    if (msg.overflowed) {
        Sys_Printf("WARNING: msg overflowed for %s\n", client.name.data());
        length = 0;
    }

    Netchan_Transmit(client.netchan, length, msg.data);
    client.frame_bytes[SV_FrameSlot()] = length;
}

void SV_SendUpdates() {
    for (ClientSlot& client : sv_clients) {
        if (client.state == CLIENT_FREE) {
            continue;
        }

        if (client.netchan.message.overflowed) {
            Log_Printf("Reliable message overflowed, dropping client %s\n", client.name.data());
            SV_EmptyBuffer(client.netchan.message);
            SV_EmptyBuffer(client.datagram);
            SV_RemoveClient(client);
        }

        if (client.state != CLIENT_CONNECTED) {
            continue;
        }
        if (SV_RecentBytes(client) > client.rate_limit) {
            client.frame_bytes[SV_FrameSlot()] = 0;
            continue;
        }
        if (Sys_Elapsed(curtime, client.netchan.last_sent) > transmit_interval) {
            SV_SendClientUpdate(client);
        }
    }
}

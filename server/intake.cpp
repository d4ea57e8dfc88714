// server/intake.cpp: routing of received datagrams.
#include "server/intake.h"

#include <cstdint>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "server/clients.h"
#include "server/commands.h"
#include "server/handshake.h"
#include "shell/log.h"

namespace {

bool SV_IsOutOfBand() {
    return net_received.cursize >= 4 && net_received.data[0] == 0xFF &&
           net_received.data[1] == 0xFF && net_received.data[2] == 0xFF &&
           net_received.data[3] == 0xFF;
}

// The first taken slot of the sender's host whose channel carries `qport`.
ClientSlot* SV_FindClient(uint16_t qport) {
    for (ClientSlot& client : sv_clients) {
        if (client.state == CLIENT_FREE) {
            continue;
        }
        if (NET_SameHost(client.netchan.remote_address, net_sender) &&
            client.netchan.qport == qport) {
            return &client;
        }
    }
    return nullptr;
}

}  // namespace

void SV_ReadPackets() {
    while (NET_GetPacket() != 0) {
        if (SV_IsOutOfBand()) {
            SV_ReadConnectionlessPacket();
            continue;
        }

        // The reads follow the short-datagram rule: a field that does not
        // fit reads as -1 and leaves the cursor, so a short packet takes
        // its qport from wherever the cursor stopped, or 0xFFFF.
        MSG_BeginReading();
        MSG_ReadLong();
        MSG_ReadLong();
        const uint16_t qport = static_cast<uint16_t>(MSG_ReadShort() & 0xFFFF);

        ClientSlot* client = SV_FindClient(qport);
        if (client == nullptr) {
            Sys_Printf("%s:sequenced packet without connection\n",
                       NET_AddressToString(net_sender));
            continue;
        }

        if (client->netchan.remote_address.port != net_sender.port) {
            Sys_Printf("SV_ReadPackets: fixing up a translated port\n");
            client->netchan.remote_address.port = net_sender.port;
        }

        if (!Netchan_AcceptPacket(client->netchan)) {
            continue;
        }
        if (client->state != CLIENT_REMOVED) {
            client->last_message = server_time;
        }
        SV_ReadClientMessage(*client);
    }
}

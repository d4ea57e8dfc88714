// server/clients.cpp: client slots, removal and time-outs.
#include "server/clients.h"

#include "shell/log.h"
#include "shell/sys.h"

std::array<ClientSlot, MAX_CLIENTS> sv_clients{};
std::array<ChallengeEntry, MAX_CHALLENGES> sv_challenges{};
uint32_t server_time = 0;
uint32_t frame_count = 0;

void SV_RemoveClient(ClientSlot& client) {
    // The channel's message buffer allows overflow, so a full buffer is
    // emptied and flagged before the byte goes in. A slot whose channel was
    // never set up has no buffer to write into.
    if (client.netchan.message.data != nullptr) {
        MSG_WriteByte(client.netchan.message, SRV_DISCONNECT);
    }
    Sys_Printf("Client %s removed\n", client.name.data());
    client.state = CLIENT_REMOVED;
    client.name[0] = '\0';
}

void SV_CheckClientTimeouts() {
    const uint32_t now = server_time;
    for (ClientSlot& client : sv_clients) {
        if (Sys_Elapsed(now, client.last_message) < 0) {
            client.last_message = now;
        }
        const int32_t silent = Sys_Elapsed(now, client.last_message);
        if (client.state == CLIENT_REMOVED && silent > CLIENT_ZOMBIE_MS) {
            client.state = CLIENT_FREE;
        } else if (client.state == CLIENT_CONNECTED && silent > CLIENT_TIMEOUT_MS) {
            Sys_Printf("%s timed out\n", client.name.data());
            SV_RemoveClient(client);
            client.state = CLIENT_FREE;
        }
    }
}

int SV_CountConnected() {
    int count = 0;
    for (const ClientSlot& client : sv_clients) {
        if (client.state == CLIENT_CONNECTED) {
            count++;
        }
    }
    return count;
}

void SV_ResetClients() {
    for (ClientSlot& client : sv_clients) {
        client = ClientSlot{};
    }
    for (ChallengeEntry& entry : sv_challenges) {
        entry = ChallengeEntry{};
    }
    server_time = 0;
    frame_count = 0;
}

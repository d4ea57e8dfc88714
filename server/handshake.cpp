// server/handshake.cpp: challenge and connect requests.
#include "server/handshake.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "server/clients.h"
#include "server/cmd.h"
#include "shell/log.h"
#include "shell/sys.h"

namespace {

// A 15-bit pseudo-random generator with a fixed start, so that every run,
// on every build, issues the same sequence of challenges.
uint32_t challenge_seed = 1;

int SV_Random15() {
    challenge_seed = challenge_seed * 214013u + 2531011u;
    return static_cast<int>((challenge_seed >> 16) & 0x7FFF);
}

// The first challenge entry of the sender's host, or nullptr.
ChallengeEntry* SV_FindChallenge() {
    for (ChallengeEntry& entry : sv_challenges) {
        if (NET_SameHost(entry.address, net_sender)) {
            return &entry;
        }
    }
    return nullptr;
}

// The entry a new host takes: the first never-used one (issued 0, which
// includes one issued while server_time was still 0), otherwise the one
// issued longest ago. Ages are unsigned differences from server_time, so
// the choice stays right when the clock wraps.
ChallengeEntry& SV_OldestChallenge() {
    ChallengeEntry* oldest = &sv_challenges[0];
    uint32_t oldest_age = 0;
    for (ChallengeEntry& entry : sv_challenges) {
        if (entry.issued == 0) {
            return entry;
        }
        const uint32_t age = server_time - entry.issued;
        if (age > oldest_age) {
            oldest = &entry;
            oldest_age = age;
        }
    }
    return *oldest;
}

// The slot of a client that connects again: taken, same host, and the same
// qport or the same port.
ClientSlot* SV_FindExistingSlot(int32_t qport) {
    for (ClientSlot& client : sv_clients) {
        if (client.state == CLIENT_FREE) {
            continue;
        }
        if (!NET_SameHost(client.netchan.remote_address, net_sender)) {
            continue;
        }
        if (client.netchan.qport == qport ||
            client.netchan.remote_address.port == net_sender.port) {
            return &client;
        }
    }
    return nullptr;
}

// The first free slot, or nullptr when every slot is taken (connected or
// still held after a removal): the server is full.
ClientSlot* SV_FindFreeSlot() {
    for (ClientSlot& client : sv_clients) {
        if (client.state == CLIENT_FREE) {
            return &client;
        }
    }
    return nullptr;
}

}  // namespace

void SV_ReadConnectionlessPacket() {
    MSG_BeginReading();
    MSG_ReadLong();   // the four 0xFF bytes

    const char* line = MSG_ReadStringLine();
    Cmd_Tokenize(sv_args, line);

    const char* request = Cmd_Argv(sv_args, 0);
    if (std::strcmp(request, "connect") == 0) {
        Sys_Printf("connect\n");
        SV_HandleConnect();
    } else if (std::strcmp(request, "getchallenge") == 0) {
        Sys_Printf("getchallenge\n");
        SV_HandleGetChallenge();
    } else {
        Sys_Printf("bad connectionless packet from %s:\n%s\n",
                   NET_AddressToString(net_sender), line);
    }
}

void SV_HandleGetChallenge() {
    ChallengeEntry* entry = SV_FindChallenge();
    if (entry == nullptr) {
        entry = &SV_OldestChallenge();
        const int r1 = SV_Random15();
        const int r2 = SV_Random15();
        entry->challenge = (r1 << 16) ^ r2;
        entry->address = net_sender;
        entry->issued = server_time;
    }
    Netchan_PrintConnectionless(net_sender, "%c%i", OOB_CHALLENGE, entry->challenge);
}

void SV_HandleConnect() {
    const int32_t version = Cmd_ArgToInt(Cmd_Argv(sv_args, 1));
    if (version != PROTOCOL_VERSION) {
        Netchan_PrintConnectionless(net_sender, "%c\n", OOB_BAD_VERSION);
        Sys_Printf("* rejected connect from version %i\n", version);
        return;
    }

    const int32_t qport = Cmd_ArgToInt(Cmd_Argv(sv_args, 2));
    const int32_t challenge = Cmd_ArgToInt(Cmd_Argv(sv_args, 3));

    const ChallengeEntry* entry = SV_FindChallenge();
    if (entry == nullptr) {
        Netchan_PrintConnectionless(net_sender, "%c\nNo challenge for address.\n", OOB_PRINT);
        return;
    }
    if (entry->challenge != challenge) {
        Netchan_PrintConnectionless(net_sender, "%c\nBad challenge.\n", OOB_PRINT);
        return;
    }

    ClientSlot* client = SV_FindExistingSlot(qport);
    if (client != nullptr) {
        if (client->state == CLIENT_CONNECTED) {
            Sys_Printf("%s:dup connect\n", NET_AddressToString(net_sender));
            return;
        }
        Sys_Printf("%s:reconnect\n", NET_AddressToString(net_sender));
    } else {
        client = SV_FindFreeSlot();
        if (client == nullptr) {
            Sys_Printf("%s:full connect\n", NET_AddressToString(net_sender));
            Netchan_PrintConnectionless(net_sender, "%c\nServer is full\n\n", OOB_PRINT);
            return;
        }
    }

    *client = ClientSlot{};
    Netchan_PrintConnectionless(net_sender, "%c", OOB_ACCEPT);
    Netchan_Setup(client->netchan, net_sender, qport);
    // A new channel is due for its first update at once. Its send time is
    // put one interval and a millisecond behind curtime rather than left
    // at 0, which would read as "in the future" once curtime passes 2^31
    // and hold the client's updates back for weeks.
    client->netchan.last_sent = curtime - static_cast<uint32_t>(transmit_interval) - 1u;
    client->state = CLIENT_CONNECTED;
    client->datagram.data = client->datagram_buf.data();
    client->datagram.maxsize = CLIENT_DATAGRAM_SIZE;
    client->datagram.cursize = 0;
    client->datagram.allowoverflow = 1;
    client->datagram.overflowed = 0;
    client->rate_limit = CLIENT_RATE_LIMIT;

    const char* name = Cmd_Argv(sv_args, 4);
    std::snprintf(client->name.data(), client->name.size(), "%s", name);
    Sys_Printf("Client %s connected\n", client->name.data());

    client->device_type = Cmd_ArgToInt(Cmd_Argv(sv_args, 5));
    Sys_Printf("DeviceType is %i\n", client->device_type);
    client->last_message = server_time;
}

void SV_ResetHandshake() {
    challenge_seed = 1;
}

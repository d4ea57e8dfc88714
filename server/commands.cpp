// server/commands.cpp: the client command stream of an accepted packet.
//
// Behind the channel header each command is one byte, read signed:
//   1    nop         nothing, the next byte is a command too
//   2    disconnect  the client is removed, reading stops
//   4    string      a text up to 0x00 or 0xFF, handed to the relay
//   110  print       logged, reading stops
//   -1   (0xFF)      end of the commands
// Any other byte is logged and ends the reading of this packet only.
#include "server/commands.h"

#include <cstring>

#include "net/msg.h"
#include "relay/relay.h"
#include "shell/log.h"

enum ClientCommand : int {
    CMD_END = -1,
    CMD_NOP = 1,
    CMD_DISCONNECT = 2,
    CMD_STRING = 4,
    CMD_PRINT = 110,
};

void SV_ReadClientMessage(ClientSlot& client) {
    // The server numbers its packets on from the client's latest, so a
    // client that counted ahead is not answered with stale numbers.
    NetChannel& chan = client.netchan;
    if (chan.incoming_sequence >= chan.outgoing_sequence)
        chan.outgoing_sequence = chan.incoming_sequence;

    for (;;) {
        if (msg_badread) {
            Sys_Printf("SV_ReadClientMessage: badread\n");
            SV_RemoveClient(client);
            return;
        }
        if (msg_readpos + 1 > net_received.cursize) {
            // The normal end of a packet; the flag is cleared with the next.
            msg_badread = 1;
            return;
        }

        int c = MSG_ReadChar();
        switch (c) {
        case CMD_END:
            return;
        case CMD_NOP:
            break;
        case CMD_DISCONNECT:
            Sys_Printf("disconnect\n");
            SV_RemoveClient(client);
            return;
        case CMD_STRING: {
            // A text cut by the end of the packet is still relayed; the
            // badread test at the top of the loop then removes the client.
            const char* text = MSG_ReadString();
            Sys_Printf("stringcmd = %s\n", text);
            Relay_QueueCommand(text, static_cast<int>(std::strlen(text)));
            break;
        }
        case CMD_PRINT:
            Sys_Printf("print\n");
            return;
        default:
            Sys_Printf("SV_ReadClientMessage: unknown command char = %c\n", c);
            return;
        }
    }
}

// server/commands.cpp: the client command stream of an accepted packet.
//
// Behind the channel header each command is one byte, read signed:
//   1    nop         nothing, the next byte is a command too
//   2    disconnect  the client is removed, reading stops
//   4    string      a text up to 0x00 or 0xFF, handed to the relay; a text
//                    longer than a relay entry, or one that meets a full
//                    relay queue, is dropped with a log line (the main
//                    loop never waits for the relay)
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

namespace {

// Reads the commands of the packet; returns how many texts met a full relay
// queue and were dropped.
int SV_ReadCommands(ClientSlot& client) {
    int dropped = 0;
    for (;;) {
        if (msg_badread) {
            Sys_Printf("SV_ReadClientMessage: badread\n");
            SV_RemoveClient(client);
            return dropped;
        }
        if (msg_readpos + 1 > net_received.cursize) {
            // The normal end of a packet; the flag is cleared with the next.
            msg_badread = 1;
            return dropped;
        }

        int c = MSG_ReadChar();
        switch (c) {
        case CMD_END:
            return dropped;
        case CMD_NOP:
            break;
        case CMD_DISCONNECT:
            Sys_Printf("disconnect\n");
            SV_RemoveClient(client);
            return dropped;
        case CMD_STRING: {
            // A text cut by the end of the packet is still relayed; the
            // badread test at the top of the loop then removes the client.
            // Only a text the relay took gets a log record of its own: a
            // packet of thousands of texts that meet a full queue must not
            // cost thousands of log records (each opens the file).
            const char* text = MSG_ReadString();
            const int length = static_cast<int>(std::strlen(text));
            const RelayQueueResult result = Relay_QueueCommand(text, length);
            if (result == RELAY_QUEUED) {
                Sys_Printf("stringcmd = %s\n", text);
            } else if (result == RELAY_TOO_LONG) {
                Sys_Printf("Command of %i characters is longer than %i, dropped\n", length,
                           RELAY_TEXT_SIZE);
            } else {
                dropped++;
            }
            break;
        }
        case CMD_PRINT:
            Sys_Printf("print\n");
            return dropped;
        default:
            Sys_Printf("SV_ReadClientMessage: unknown command char = %c\n", c);
            return dropped;
        }
    }
}

}  // namespace

void SV_ReadClientMessage(ClientSlot& client) {
    // The server numbers its packets on from the client's latest, so a
    // client that counted ahead is not answered with stale numbers.
    NetChannel& chan = client.netchan;
    if (chan.incoming_sequence >= chan.outgoing_sequence)
        chan.outgoing_sequence = chan.incoming_sequence;

    // One line per packet, however many texts met the full queue.
    const int dropped = SV_ReadCommands(client);
    if (dropped > 0) {
        Sys_Printf("Relay queue full, %i command%s dropped\n", dropped, dropped == 1 ? "" : "s");
    }
}

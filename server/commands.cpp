// server/commands.cpp: the client command stream of an accepted packet.
//
// Behind the channel header each command is one byte, read signed:
//   1    nop         nothing, the next byte is a command too
//   2    disconnect  the client is removed, reading stops
//   4    string      a text up to 0x00 or 0xFF, handed to the relay; a text
//                    longer than a relay entry, or one that meets a full
//                    relay queue, is dropped (the main loop never waits for
//                    the relay). The first 8 texts of a packet get a log
//                    line each, the rest are counted on one line per kind.
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

// Log records of single text commands per packet; the rest are counted.
// Every record opens the log file, so a packet of thousands of commands
// must not cost thousands of records.
constexpr int SV_COMMAND_LOG_LINES = 8;

// What became of the text commands of one packet.
struct CommandTally {
    int logged;          // texts with a record of their own
    int relayed;         // taken by the relay beyond those
    int too_long;        // longer than an entry beyond those, dropped
    int dropped;         // met a full relay queue
};

// Hands one text to the relay and notes what became of it.
void SV_RelayText(const char* text, CommandTally& tally) {
    const int length = static_cast<int>(std::strlen(text));
    const RelayQueueResult result = Relay_QueueCommand(text, length);
    if (result == RELAY_QUEUE_FULL) {
        tally.dropped++;
    } else if (tally.logged >= SV_COMMAND_LOG_LINES) {
        (result == RELAY_QUEUED ? tally.relayed : tally.too_long)++;
    } else {
        tally.logged++;
        if (result == RELAY_QUEUED) {
            Sys_Printf("stringcmd = %s\n", text);
        } else {
            Sys_Printf("Command of %i characters is longer than %i, dropped\n", length,
                       RELAY_TEXT_SIZE);
        }
    }
}

// Reads the commands of the packet into the relay and the tally.
void SV_ReadCommands(ClientSlot& client, CommandTally& tally) {
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
        case CMD_STRING:
            // A text cut by the end of the packet is still relayed; the
            // badread test at the top of the loop then removes the client.
            SV_RelayText(MSG_ReadString(), tally);
            break;
        case CMD_PRINT:
            Sys_Printf("print\n");
            return;
        default:
            Sys_Printf("SV_ReadClientMessage: unknown command char = %c\n", c);
            return;
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

    CommandTally tally{};
    SV_ReadCommands(client, tally);
    if (tally.relayed > 0) {
        Sys_Printf("%i more command%s relayed\n", tally.relayed, tally.relayed == 1 ? "" : "s");
    }
    if (tally.too_long > 0) {
        Sys_Printf("%i more command%s longer than %i dropped\n", tally.too_long,
                   tally.too_long == 1 ? "" : "s", RELAY_TEXT_SIZE);
    }
    if (tally.dropped > 0) {
        Sys_Printf("Relay queue full, %i command%s dropped\n", tally.dropped,
                   tally.dropped == 1 ? "" : "s");
    }
}

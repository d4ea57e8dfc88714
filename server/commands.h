// server/commands.h: the command stream of a client's sequenced packets.
#pragma once

#include "server/clients.h"

// Reads the client commands of the packet in net_received, starting at the
// read position that the channel left behind its header. Text commands go
// to the relay queue without waiting. Of each packet's texts the first 8
// that the relay took or refused as too long get a log line each
// ("stringcmd = %s\n", or "Command of %i characters is longer than 104,
// dropped\n"); the rest, and those that met a full queue, are counted on
// one line per kind after the packet, so a packet costs at most 11 text
// records in the debug log.
void SV_ReadClientMessage(ClientSlot& client);

// server/commands.h: the command stream of a client's sequenced packets.
#pragma once

#include "server/clients.h"

// Reads the client commands of the packet in net_received, starting at the
// read position that the channel left behind its header. Text commands go
// to the relay queue without waiting and are logged ("stringcmd = %s\n")
// when the relay took them; a text longer than RELAY_TEXT_SIZE is dropped
// with a log line of its own, and the texts that met a full queue are
// dropped and counted in one log line per packet.
void SV_ReadClientMessage(ClientSlot& client);

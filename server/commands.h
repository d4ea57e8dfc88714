// server/commands.h: the command stream of a client's sequenced packets.
#pragma once

#include "server/clients.h"

// Reads the client commands of the packet in net_received, starting at the
// read position that the channel left behind its header.
void SV_ReadClientMessage(ClientSlot& client);

// server/commands.cpp: the client command reader (not yet written: an
// accepted packet's commands are ignored).
#include "server/commands.h"

void SV_ReadClientMessage(ClientSlot& client) {
    (void)client;
}

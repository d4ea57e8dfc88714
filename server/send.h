// server/send.h: paces and sends the dashboard updates.
//
// Each connected client is paced by its own channel: it is due when more
// than transmit_interval ms of curtime have passed since the channel last
// sent (51 ms or more with the default 50), a signed difference that keeps
// working when the clock wraps. A byte budget (rate_limit) over the update
// bytes of the last ten frame slots can hold a client back. Main thread
// only; nothing is allocated per send.
#pragma once

#include "server/clients.h"

// Once per main-loop pass, after the packets were read and frame_count
// advanced: drops every client whose reliable message has overflowed ("Reliable
// message overflowed, dropping client %s\n"), and sends an update to every
// connected client that is due and within its byte budget.
void SV_SendUpdates();

// Builds one update for `client` (body, then its pending datagram unless
// that overflowed) and hands it to the client's channel; records the body
// length in frame_bytes for this pass. An overflowed update goes out as a
// packet without unreliable data, counted as 0 bytes.
void SV_SendClientUpdate(ClientSlot& client);

// server/intake.h: empties the server's socket once per main-loop pass.
//
// A datagram that starts with FF FF FF FF is an out-of-band request and goes
// to the handshake. Any other is a sequenced packet:
//   offset 0  sequence (4)   offset 4  acknowledgement (4)
//   offset 8  qport (2, little-endian, unsigned)   offset 10  commands
// and belongs to the first taken slot whose channel has the sender's four
// address bytes and that qport; the sender's port is not part of the match,
// so a client whose port was translated is followed to its new port.
// Main thread only.
#pragma once

// Reads every waiting datagram, until NET_GetPacket returns 0 (nothing
// waiting, an error, or an empty datagram). Packets of unknown senders are
// logged ("%s:sequenced packet without connection\n") and dropped; packets
// that a client's channel accepts refresh its last_message (unless it was
// removed) and are read by SV_ReadClientMessage.
void SV_ReadPackets();

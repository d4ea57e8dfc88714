// server/handshake.h: the out-of-band exchanges that let a dashboard join.
//
//   client                               server
//   FF FF FF FF "getchallenge"     -->
//                                  <--   FF FF FF FF "c" challenge (decimal)
//   FF FF FF FF "connect 1 <qport> <challenge> <name> [<device type>]"
//                                  <--   FF FF FF FF "j"          accepted
//                                        FF FF FF FF "o\n"        version not 1
//                                        FF FF FF FF "n\nBad challenge.\n"
//                                        FF FF FF FF "n\nNo challenge for address.\n"
//                                        FF FF FF FF "n\nServer is full\n\n"
// A duplicate connect from a connected client and a request of any other
// kind get no reply. A request is one line of at most 2047 characters.
//
// Challenges are kept per host (address bytes only) in sv_challenges and are
// never used up; when the table is full the entry issued longest ago is
// given to the new host. Main thread only.
#pragma once

constexpr int PROTOCOL_VERSION = 1;

// First letter of every reply.
constexpr char OOB_CHALLENGE = 'c';
constexpr char OOB_ACCEPT = 'j';
constexpr char OOB_PRINT = 'n';
constexpr char OOB_BAD_VERSION = 'o';

// Handles the out-of-band datagram in net_received from net_sender: a
// "connect" or "getchallenge" request, or anything else, which is only
// logged ("bad connectionless packet from %s:\n%s\n").
void SV_ReadConnectionlessPacket();

// Replies with the sender's challenge, issuing one when its host has none.
void SV_HandleGetChallenge();

// Checks the connect request in sv_args and, when it is sound, gives the
// sender a slot (its old one when it reconnects from the same host with the
// same qport or port) and replies "j". Every refusal has its own reply.
void SV_HandleConnect();

// Restarts the challenge generator, so the run's challenges begin again
// from the first (tests).
void SV_ResetHandshake();

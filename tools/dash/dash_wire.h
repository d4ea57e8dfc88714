// tools/dash/dash_wire.h: the dashboard client's side of the wire, written
// independently of the server's transport so that each checks the other.
//
// Every multi-byte field is little-endian. Datagrams the client sees:
//
// Out-of-band, both directions:  FF FF FF FF | text
//   client: "getchallenge\n", "connect 1 <qport> <challenge> \"<name>\" <device>\n"
//   server: 'c' + decimal challenge, 'j', 'n' + text, 'o' + "\n"
//
// Sequenced, server to client:
//   +-----------+-----------+--------------------+-----------------------+
//   | seq | R   | ack | r   | reliable message   | update body           |
//   +-----------+-----------+--------------------+-----------------------+
//     4 bytes     4 bytes     when R is 1
//   R: the packet carries the server's reliable message (its only one is
//   the disconnect byte 2). r: the server's copy of our reliable toggle.
//
// Sequenced, client to server:
//   | seq | R | ack | t | qport (2 bytes) | reliable commands | commands |
//   t: our reliable toggle, flipped for every reliable message received.
//   Commands: 1 nop, 2 disconnect, 4 + text + 00 a text command.
// A sequenced packet is at most 128 bytes.
#pragma once

#include <array>
#include <cstdint>

constexpr int DASH_PACKET_MAX = 128;        // a sequenced packet, header included
constexpr int DASH_CLIENT_HEADER = 10;      // seq, ack, qport
constexpr int DASH_SERVER_HEADER = 8;       // seq, ack
// Reliable commands must fit one packet behind the client header.
constexpr int DASH_RELIABLE_MAX = DASH_PACKET_MAX - DASH_CLIENT_HEADER;
// Longest text command: its command byte and terminator go along.
constexpr int DASH_COMMAND_TEXT_MAX = DASH_RELIABLE_MAX - 2;
constexpr int DASH_NAME_MAX = 79;           // the server keeps 79 characters
constexpr int DASH_OOB_TEXT_MAX = 132;      // text of one out-of-band packet
constexpr int DASH_PROTOCOL_VERSION = 1;

// Client command bytes.
constexpr uint8_t CLC_NOP = 1;
constexpr uint8_t CLC_DISCONNECT = 2;
constexpr uint8_t CLC_STRING = 4;
// The server's reliable disconnect byte.
constexpr uint8_t SRV_DISCONNECT = 2;

// ---- field encodings -------------------------------------------------------

// A bounded writer over caller storage. A field that does not fit is not
// written at all and sets `overflowed`; nothing is ever written past `maxsize`.
struct DashWriter {
    uint8_t* data;
    int maxsize;
    int cursize;
    bool overflowed;
};

void Dash_WriteByte(DashWriter& w, int value);
void Dash_WriteShort(DashWriter& w, int value);
void Dash_WriteLong(DashWriter& w, uint32_t value);
void Dash_WriteFloat(DashWriter& w, float value);
void Dash_WriteBytes(DashWriter& w, const void* src, int length);

// A reader over one received datagram. A field past the end reads as -1
// (or 0.0f), sets `badread` and leaves `pos` where it was.
struct DashReader {
    const uint8_t* data;
    int size;
    int pos;
    bool badread;
};

int Dash_ReadU8(DashReader& r);          // 0..255
int Dash_ReadShort(DashReader& r);       // sign-extended
uint32_t Dash_ReadLong(DashReader& r);   // 0xFFFFFFFF past the end
float Dash_ReadFloat(DashReader& r);

// ---- out-of-band handshake -------------------------------------------------

// Builds the getchallenge request; returns its length (0 if `size` is short).
int Dash_BuildGetChallenge(uint8_t* buf, int size);

// Builds the connect request with the name in double quotes; returns its
// length, or 0 when it does not fit `size` or the name is not acceptable
// (see Dash_NameIsValid).
int Dash_BuildConnect(uint8_t* buf, int size, int qport, int32_t challenge,
                      const char* name, int device_type);

// A name travels inside double quotes on one line and the server keeps 79
// characters: no quote, no control character, no byte 0xFF, at most 79.
bool Dash_NameIsValid(const char* name);

enum DashOobKind {
    DASH_OOB_NOT_OOB,       // not an out-of-band datagram
    DASH_OOB_CHALLENGE,     // 'c' and a challenge in 0..2^31-1
    DASH_OOB_ACCEPT,        // 'j'
    DASH_OOB_PRINT,         // 'n' and a text (a refusal)
    DASH_OOB_BAD_VERSION,   // 'o'
    DASH_OOB_OTHER          // anything else, or a challenge that is no number
};

struct DashOobReply {
    DashOobKind kind;
    int32_t challenge;
    // The text after the letter, printable and cut to fit.
    char text[DASH_OOB_TEXT_MAX + 1];
};

// Sorts one received datagram; fills `reply` for an out-of-band one.
DashOobKind Dash_ParseOob(const uint8_t* data, int length, DashOobReply& reply);

// ---- the client's sequenced channel ----------------------------------------

struct DashChannel {
    uint16_t qport;
    uint32_t outgoing_sequence;           // next own packet number, from 1
    uint32_t incoming_sequence;           // last server packet accepted
    uint32_t incoming_acknowledged;       // last own packet the server accepted
    int incoming_reliable_acknowledged;   // server's copy of our reliable toggle
    int incoming_reliable_sequence;       // our toggle, flipped per server reliable
    int reliable_sequence;                // flipped per own reliable message started
    uint32_t last_reliable_sequence;      // outgoing_sequence after its last send
    std::array<uint8_t, DASH_RELIABLE_MAX> message_data;   // queued reliable commands
    int message_length;
    std::array<uint8_t, DASH_RELIABLE_MAX> reliable_data;  // the reliable message in flight
    int reliable_length;
};

// Starts a channel whose packets carry `qport`; the first packet is number 1.
void DashChan_Setup(DashChannel& chan, uint16_t qport);

// Queues the text command (command byte 4, text, 00) for the reliable part.
// Returns false, queueing nothing, when the text is empty, longer than
// DASH_COMMAND_TEXT_MAX, holds a byte 0xFF, or does not fit beside what is
// already queued (try again once the queue has gone out).
bool DashChan_QueueCommand(DashChannel& chan, const char* text);

// True while a reliable message is queued or not yet acknowledged.
bool DashChan_ReliablePending(const DashChannel& chan);

// Builds the next packet into `out` (DASH_PACKET_MAX bytes): header, qport,
// the reliable message when new or due again (the server acknowledged a
// later packet without flipping our toggle), then `data` when it fits.
// Returns the length; the packet number is used up.
int DashChan_Transmit(DashChannel& chan, const uint8_t* data, int length, uint8_t* out);

struct DashServerPacket {
    uint32_t sequence;      // bits 0..30 of the first long
    bool reliable;          // bit 31 of the first long
    uint32_t acknowledged;  // bits 0..30 of the second long
    int reliable_ack;       // bit 31 of the second long
    const uint8_t* payload; // reliable message and update body
    int payload_length;
};

// Takes a sequenced packet from the server. Returns false, changing
// nothing, for a datagram shorter than the header or one not newer than the
// last accepted; otherwise records its numbers (a reliable message flips our
// toggle; an acknowledged toggle frees the reliable message in flight).
bool DashChan_Accept(DashChannel& chan, const uint8_t* data, int length, DashServerPacket& out);

// ---- the update body -------------------------------------------------------

enum DashFieldKind { DASH_U8, DASH_I16, DASH_F32 };

enum DashField {
    DF_ENGINE_WARNINGS, DF_SESSION_FLAGS, DF_GEAR, DF_SPEED, DF_SHIFT_INDICATOR,
    DF_RPM, DF_THROTTLE, DF_BRAKE, DF_CAR_ID, DF_FASTEST_TIME, DF_LAST_TIME,
    DF_SESSION_LAPS, DF_LAP, DF_WATER_TEMP, DF_OIL_TEMP, DF_FUEL_LEVEL,
    DF_POSITION, DF_NUM_POSITIONS, DF_FUEL_LAPS,
    DF_COUNT
};

struct DashFieldInfo {
    uint8_t tag;
    DashFieldKind kind;
    const char* name;   // the JSON key
};

// Indexed by DashField, in the order the server writes the items.
extern const std::array<DashFieldInfo, DF_COUNT> dash_fields;

// Tags without a value.
constexpr uint8_t UPD_NO_DATA = 5;
constexpr uint8_t UPD_END_BASIC = 10;
constexpr uint8_t UPD_END_SESSION = 20;

enum DashDecodeStatus {
    DASH_DECODE_OK,
    DASH_DECODE_UNKNOWN_TAG,   // `bad_tag` at `bad_offset`; decoding stopped
    DASH_DECODE_TRUNCATED      // the value of `bad_tag` ran past the end
};

struct DashUpdate {
    uint32_t present;                        // bit (1 << DashField) per field read
    std::array<int32_t, DF_COUNT> ivalue;    // DASH_U8 and DASH_I16 fields
    std::array<float, DF_COUNT> fvalue;      // DASH_F32 fields
    bool no_data;                            // tag 5: the car is not on track
    bool end_basic;                          // tag 10 seen
    bool end_session;                        // tag 20 seen
    bool server_disconnect;                  // the server's disconnect byte
    DashDecodeStatus status;
    int bad_tag;
    int bad_offset;
};

// Decodes one payload. `reliable`: the packet's reliable part comes first
// (its byte 2 is the server's disconnect). Fields read before an unknown
// tag or a cut value are kept; the rest of that payload is not read.
void Dash_DecodeUpdate(const uint8_t* data, int length, bool reliable, DashUpdate& out);

// tools/dash/dash_wire.cpp: field encodings, handshake texts, the client's
// sequenced channel and the update decoder of the dashboard client.
#include "tools/dash/dash_wire.h"

#include <cstdio>
#include <cstring>

// ---- field encodings -------------------------------------------------------

static uint8_t* Dash_Space(DashWriter& w, int length) {
    if (length < 0 || w.cursize > w.maxsize - length) {
        w.overflowed = true;
        return nullptr;
    }
    uint8_t* p = w.data + w.cursize;
    w.cursize += length;
    return p;
}

void Dash_WriteByte(DashWriter& w, int value) {
    if (uint8_t* p = Dash_Space(w, 1)) p[0] = static_cast<uint8_t>(value & 0xFF);
}

void Dash_WriteShort(DashWriter& w, int value) {
    if (uint8_t* p = Dash_Space(w, 2)) {
        uint32_t u = static_cast<uint32_t>(value);
        p[0] = static_cast<uint8_t>(u & 0xFF);
        p[1] = static_cast<uint8_t>((u >> 8) & 0xFF);
    }
}

void Dash_WriteLong(DashWriter& w, uint32_t value) {
    if (uint8_t* p = Dash_Space(w, 4)) {
        for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

void Dash_WriteFloat(DashWriter& w, float value) {
    uint32_t bits = 0;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&bits, &value, sizeof bits);
    Dash_WriteLong(w, bits);
}

void Dash_WriteBytes(DashWriter& w, const void* src, int length) {
    if (uint8_t* p = Dash_Space(w, length)) {
        if (length > 0) std::memcpy(p, src, static_cast<size_t>(length));
    }
}

static bool Dash_Have(DashReader& r, int length) {
    if (r.pos > r.size - length) {
        r.badread = true;
        return false;
    }
    return true;
}

int Dash_ReadU8(DashReader& r) {
    if (!Dash_Have(r, 1)) return -1;
    return r.data[r.pos++];
}

int Dash_ReadShort(DashReader& r) {
    if (!Dash_Have(r, 2)) return -1;
    uint16_t u = static_cast<uint16_t>(r.data[r.pos] | (r.data[r.pos + 1] << 8));
    r.pos += 2;
    return static_cast<int16_t>(u);
}

uint32_t Dash_ReadLong(DashReader& r) {
    if (!Dash_Have(r, 4)) return 0xFFFFFFFFu;
    uint32_t u = 0;
    for (int i = 0; i < 4; i++) u |= static_cast<uint32_t>(r.data[r.pos + i]) << (8 * i);
    r.pos += 4;
    return u;
}

float Dash_ReadFloat(DashReader& r) {
    if (!Dash_Have(r, 4)) return 0.0f;
    uint32_t bits = Dash_ReadLong(r);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// ---- out-of-band handshake -------------------------------------------------

static int Dash_BuildOob(uint8_t* buf, int size, const char* text, int text_length) {
    DashWriter w{buf, size, 0, false};
    Dash_WriteLong(w, 0xFFFFFFFFu);
    Dash_WriteBytes(w, text, text_length);
    return w.overflowed ? 0 : w.cursize;
}

int Dash_BuildGetChallenge(uint8_t* buf, int size) {
    static const char text[] = "getchallenge\n";
    return Dash_BuildOob(buf, size, text, static_cast<int>(sizeof text - 1));
}

bool Dash_NameIsValid(const char* name) {
    if (name == nullptr) return false;
    int n = 0;
    for (const char* p = name; *p; p++, n++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || c == 127 || c == 0xFF || c == '"') return false;
    }
    return n <= DASH_NAME_MAX;
}

int Dash_BuildConnect(uint8_t* buf, int size, int qport, int32_t challenge,
                      const char* name, int device_type) {
    if (!Dash_NameIsValid(name)) return 0;
    char text[DASH_OOB_TEXT_MAX + 1];
    int n = std::snprintf(text, sizeof text, "connect %d %d %d \"%s\" %d\n",
                          DASH_PROTOCOL_VERSION, qport, static_cast<int>(challenge), name,
                          device_type);
    if (n < 0 || n >= static_cast<int>(sizeof text)) return 0;
    return Dash_BuildOob(buf, size, text, n);
}

DashOobKind Dash_ParseOob(const uint8_t* data, int length, DashOobReply& reply) {
    reply.kind = DASH_OOB_NOT_OOB;
    reply.challenge = 0;
    reply.text[0] = 0;
    DashReader r{data, length, 0, false};
    if (Dash_ReadLong(r) != 0xFFFFFFFFu || r.badread) return reply.kind;

    // The text after the letter, with anything unprintable shown as '?'
    // (line feeds kept) so a refusal can be printed safely.
    int letter = Dash_ReadU8(r);
    int n = 0;
    while (r.pos < r.size && n < DASH_OOB_TEXT_MAX) {
        unsigned char c = r.data[r.pos++];
        reply.text[n++] = (c == '\n' || (c >= 32 && c < 127)) ? static_cast<char>(c) : '?';
    }
    reply.text[n] = 0;

    switch (letter) {
    case 'c': {
        // A decimal number without sign, as the server writes it.
        int64_t value = 0;
        int digits = 0;
        for (const char* p = reply.text; *p >= '0' && *p <= '9'; p++) {
            value = value * 10 + (*p - '0');
            if (++digits > 10) break;
        }
        bool whole = digits > 0 && reply.text[digits] == 0;
        if (!whole || digits > 10 || value > 0x7FFFFFFF) {
            reply.kind = DASH_OOB_OTHER;
        } else {
            reply.kind = DASH_OOB_CHALLENGE;
            reply.challenge = static_cast<int32_t>(value);
        }
        break;
    }
    case 'j': reply.kind = DASH_OOB_ACCEPT; break;
    case 'n': reply.kind = DASH_OOB_PRINT; break;
    case 'o': reply.kind = DASH_OOB_BAD_VERSION; break;
    default: reply.kind = DASH_OOB_OTHER; break;
    }
    return reply.kind;
}

// ---- the client's sequenced channel ----------------------------------------

constexpr uint32_t DASH_SEQ_MASK = 0x7FFFFFFFu;
constexpr uint32_t DASH_SEQ_FLAG = 0x80000000u;

void DashChan_Setup(DashChannel& chan, uint16_t qport) {
    chan = DashChannel{};
    chan.qport = qport;
    chan.outgoing_sequence = 1;
}

bool DashChan_QueueCommand(DashChannel& chan, const char* text) {
    size_t n = std::strlen(text);
    if (n == 0 || n > static_cast<size_t>(DASH_COMMAND_TEXT_MAX)) return false;
    if (std::memchr(text, 0xFF, n) != nullptr) return false;   // would end the text early
    DashWriter w{chan.message_data.data(), DASH_RELIABLE_MAX, chan.message_length, false};
    if (w.cursize + static_cast<int>(n) + 2 > w.maxsize) return false;
    Dash_WriteByte(w, CLC_STRING);
    Dash_WriteBytes(w, text, static_cast<int>(n));
    Dash_WriteByte(w, 0);
    chan.message_length = w.cursize;
    return true;
}

bool DashChan_ReliablePending(const DashChannel& chan) {
    return chan.message_length > 0 || chan.reliable_length > 0;
}

int DashChan_Transmit(DashChannel& chan, const uint8_t* data, int length, uint8_t* out) {
    // Sent again only when the server accepted a packet sent after the last
    // copy but its header still shows our old toggle: that copy was lost.
    bool send_reliable = chan.incoming_acknowledged > chan.last_reliable_sequence &&
                         chan.incoming_reliable_acknowledged != chan.reliable_sequence;
    if (chan.reliable_length == 0 && chan.message_length > 0) {
        chan.reliable_data = chan.message_data;
        chan.reliable_length = chan.message_length;
        chan.message_length = 0;
        chan.reliable_sequence ^= 1;
        send_reliable = true;
    }

    DashWriter w{out, DASH_PACKET_MAX, 0, false};
    uint32_t seq = (chan.outgoing_sequence & DASH_SEQ_MASK) | (send_reliable ? DASH_SEQ_FLAG : 0u);
    uint32_t ack = (chan.incoming_sequence & DASH_SEQ_MASK) |
                   (chan.incoming_reliable_sequence ? DASH_SEQ_FLAG : 0u);
    chan.outgoing_sequence = (chan.outgoing_sequence + 1) & DASH_SEQ_MASK;
    Dash_WriteLong(w, seq);
    Dash_WriteLong(w, ack);
    Dash_WriteShort(w, chan.qport);
    if (send_reliable) {
        // The queue never holds more than fits behind the header.
        Dash_WriteBytes(w, chan.reliable_data.data(), chan.reliable_length);
        chan.last_reliable_sequence = chan.outgoing_sequence;
    }
    if (data != nullptr && length > 0 && length <= w.maxsize - w.cursize)
        Dash_WriteBytes(w, data, length);
    return w.cursize;
}

bool DashChan_Accept(DashChannel& chan, const uint8_t* data, int length, DashServerPacket& out) {
    DashReader r{data, length, 0, false};
    uint32_t seq = Dash_ReadLong(r);
    uint32_t ack = Dash_ReadLong(r);
    if (r.badread) return false;
    if (seq == 0xFFFFFFFFu) return false;   // out-of-band, not a sequenced packet
    out.sequence = seq & DASH_SEQ_MASK;
    out.reliable = (seq & DASH_SEQ_FLAG) != 0;
    out.acknowledged = ack & DASH_SEQ_MASK;
    out.reliable_ack = (ack & DASH_SEQ_FLAG) ? 1 : 0;
    out.payload = data + DASH_SERVER_HEADER;
    out.payload_length = length - DASH_SERVER_HEADER;
    if (out.sequence <= chan.incoming_sequence) return false;

    if (out.reliable_ack == chan.reliable_sequence) chan.reliable_length = 0;
    chan.incoming_sequence = out.sequence;
    chan.incoming_acknowledged = out.acknowledged;
    chan.incoming_reliable_acknowledged = out.reliable_ack;
    if (out.reliable) chan.incoming_reliable_sequence ^= 1;
    return true;
}

// ---- the update body -------------------------------------------------------

const std::array<DashFieldInfo, DF_COUNT> dash_fields = {{
    {11, DASH_U8, "engine_warnings"},
    {18, DASH_U8, "session_flags"},
    {12, DASH_I16, "gear"},
    {14, DASH_F32, "speed"},
    {15, DASH_F32, "shift_indicator_pct"},
    {13, DASH_I16, "rpm"},
    {16, DASH_F32, "throttle"},
    {17, DASH_F32, "brake"},
    {30, DASH_I16, "car_id"},
    {21, DASH_F32, "fastest_time"},
    {22, DASH_F32, "last_time"},
    {23, DASH_I16, "session_laps"},
    {24, DASH_I16, "lap"},
    {25, DASH_F32, "water_temp"},
    {26, DASH_F32, "oil_temp"},
    {27, DASH_F32, "fuel_level"},
    {28, DASH_U8, "position"},
    {29, DASH_U8, "num_positions"},
    {31, DASH_F32, "fuel_laps"},
}};

static int Dash_FieldOfTag(int tag) {
    for (int i = 0; i < DF_COUNT; i++)
        if (dash_fields[i].tag == tag) return i;
    return -1;
}

void Dash_DecodeUpdate(const uint8_t* data, int length, bool reliable, DashUpdate& out) {
    out = DashUpdate{};
    out.status = DASH_DECODE_OK;
    out.bad_tag = -1;
    out.bad_offset = -1;
    DashReader r{data, length, 0, false};

    if (reliable && length > 0) {
        // The server's one reliable message is its disconnect byte; any
        // other reliable content is reported below as an unknown tag.
        if (data[0] == SRV_DISCONNECT) {
            out.server_disconnect = true;
            r.pos = 1;
        }
    }

    while (r.pos < r.size) {
        int offset = r.pos;
        int tag = Dash_ReadU8(r);
        if (tag == UPD_NO_DATA) {
            out.no_data = true;
            return;   // nothing follows the no-data tag
        }
        if (tag == UPD_END_BASIC) {
            out.end_basic = true;
            continue;
        }
        if (tag == UPD_END_SESSION) {
            out.end_session = true;
            continue;
        }
        int field = Dash_FieldOfTag(tag);
        if (field < 0) {
            out.status = DASH_DECODE_UNKNOWN_TAG;
            out.bad_tag = tag;
            out.bad_offset = offset;
            return;
        }
        switch (dash_fields[field].kind) {
        case DASH_U8: out.ivalue[field] = Dash_ReadU8(r); break;
        case DASH_I16: out.ivalue[field] = Dash_ReadShort(r); break;
        case DASH_F32: out.fvalue[field] = Dash_ReadFloat(r); break;
        }
        if (r.badread) {
            out.ivalue[field] = 0;
            out.fvalue[field] = 0.0f;
            out.status = DASH_DECODE_TRUNCATED;
            out.bad_tag = tag;
            out.bad_offset = offset;
            return;
        }
        out.present |= 1u << field;
    }
}

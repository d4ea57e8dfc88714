// net/netchan.cpp: the sequenced channel and connectionless packets.
#include "net/netchan.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "shell/log.h"
#include "shell/sys.h"

char connectionless_text[CONNECTIONLESS_TEXT_SIZE];

constexpr uint32_t SEQUENCE_MASK = 0x7FFFFFFFu;
constexpr uint32_t RELIABLE_BIT = 0x80000000u;

void Netchan_Setup(NetChannel& chan, NetAddress address, int qport) {
    chan = NetChannel{};
    chan.remote_address = address;
    chan.qport = qport;
    chan.outgoing_sequence = 1;
    chan.message = {1, 0, chan.message_data.data(), NETCHAN_MESSAGE_SIZE, 0};
}

void Netchan_Transmit(NetChannel& chan, int length, const uint8_t* data) {
    if (chan.message.overflowed) {
        Sys_Printf("%s:Outgoing message overflow\n", NET_AddressToString(chan.remote_address));
        return;
    }

    // Resend when the peer has seen a packet sent after the last copy of the
    // reliable message but still shows the old toggle: that copy was lost.
    bool send_reliable = chan.incoming_acknowledged > chan.last_reliable_sequence &&
                         chan.incoming_reliable_acknowledged != chan.reliable_sequence;

    if (chan.reliable_length == 0 && chan.message.cursize > 0) {
        std::copy_n(chan.message_data.begin(), chan.message.cursize, chan.reliable_data.begin());
        chan.reliable_length = chan.message.cursize;
        chan.message.cursize = 0;
        chan.reliable_sequence ^= 1;
        send_reliable = true;
    }

    std::array<uint8_t, NETCHAN_PACKET_SIZE> packet_data;
    SizeBuffer packet = {0, 0, packet_data.data(), NETCHAN_PACKET_SIZE, 0};

    uint32_t w1 = (static_cast<uint32_t>(chan.outgoing_sequence) & SEQUENCE_MASK) |
                  (send_reliable ? RELIABLE_BIT : 0u);
    uint32_t w2 = (static_cast<uint32_t>(chan.incoming_sequence) & SEQUENCE_MASK) |
                  (chan.incoming_reliable_sequence ? RELIABLE_BIT : 0u);
    // Unsigned step: the count wraps instead of overflowing.
    chan.outgoing_sequence = static_cast<int32_t>(static_cast<uint32_t>(chan.outgoing_sequence) + 1u);
    chan.last_sent = curtime;
    MSG_WriteLong(packet, static_cast<int32_t>(w1));
    MSG_WriteLong(packet, static_cast<int32_t>(w2));

    if (send_reliable) {
        SZ_Write(packet, chan.reliable_data.data(), chan.reliable_length);
        chan.last_reliable_sequence = chan.outgoing_sequence;
    }

    if (length > 0) {
        if (packet.maxsize - packet.cursize >= length)
            SZ_Write(packet, data, length);
        else
            Sys_Printf("Netchan_Transmit: dumped unreliable\n");
    }

    NET_SendPacket(packet.cursize, packet.data, chan.remote_address);
}

bool Netchan_AcceptPacket(NetChannel& chan) {
    if (!NET_SameAddress(net_sender, chan.remote_address)) return false;

    MSG_BeginReading();
    auto sequence = static_cast<uint32_t>(MSG_ReadLong());
    auto acknowledgement = static_cast<uint32_t>(MSG_ReadLong());
    MSG_ReadShort();  // the channel tag; intake has already matched it

    bool reliable_message = (sequence & RELIABLE_BIT) != 0;
    int32_t reliable_ack = (acknowledgement & RELIABLE_BIT) ? 1 : 0;
    auto seq = static_cast<int32_t>(sequence & SEQUENCE_MASK);
    auto ack = static_cast<int32_t>(acknowledgement & SEQUENCE_MASK);

    if (seq <= chan.incoming_sequence) return false;

    if (reliable_ack == chan.reliable_sequence) chan.reliable_length = 0;

    chan.incoming_sequence = seq;
    chan.incoming_acknowledged = ack;
    chan.incoming_reliable_acknowledged = reliable_ack;
    if (reliable_message) chan.incoming_reliable_sequence ^= 1;
    return true;
}

void Netchan_PrintConnectionless(NetAddress to, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    // The length the text would have had: Netchan_SendConnectionless cuts
    // it to what the buffer and the packet hold.
    const int length = std::vsnprintf(connectionless_text, sizeof connectionless_text, fmt, args);
    va_end(args);
    Netchan_SendConnectionless(to, length);
}

void Netchan_SendConnectionless(NetAddress to, int length) {
    // A packet carries at most 132 bytes of text; a longer one is cut there,
    // and a negative length (a failed format) sends the header alone.
    if (length < 0) length = 0;
    if (length > CONNECTIONLESS_MAX_TEXT) length = CONNECTIONLESS_MAX_TEXT;
    std::array<uint8_t, CONNECTIONLESS_PACKET_SIZE> packet_data;
    SizeBuffer packet = {0, 0, packet_data.data(), CONNECTIONLESS_PACKET_SIZE, 0};
    MSG_WriteLong(packet, -1);
    SZ_Write(packet, connectionless_text, length);
    NET_SendPacket(packet.cursize, packet.data, to);
}

void Netchan_Reset() {
    connectionless_text[0] = 0;
}

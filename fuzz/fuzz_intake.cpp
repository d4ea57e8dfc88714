// fuzz/fuzz_intake.cpp: datagrams from a few senders through the server's
// intake, exactly as the main loop runs it.
//
// The input is a list of records, each one datagram:
//   +--------+-----------------+------------------+
//   | head   | length (2, LE)  | length bytes     |
//   +--------+-----------------+------------------+
//   head bits 0-1: the sender: hosts 127.0.0.2 and 127.0.0.3, ports 27000
//                  and 27001 on each (two ports of one host stand for a
//                  client whose port was translated);
//   head bit 2:    a new main-loop pass starts before this datagram;
//   head bits 3-7: the clock step of that pass, times 600 ms (up to 18.6 s,
//                  past the connected time-out of 15 s).
// A length beyond 8192 is taken modulo 8193; a record cut short by the end
// of the input is as long as what is left.
//
// Each pass runs as the main loop does: clocks advance, SV_CheckClientTimeouts,
// SV_ReadPackets (fed through net_packet_source, so NET_GetPacket handles each
// datagram as one read from the socket), frame_count + 1, SV_SendUpdates.
// The socket is left invalid, so whatever the server sends fails at once and
// reaches no one.
//
// Client text commands reach the relay queue; a recording consumer thread
// empties it (the queue drops texts while 100 are waiting, and one datagram
// can carry thousands), checks each entry, and never touches a window.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "relay/relay.h"
#include "server/clients.h"
#include "server/cmd.h"
#include "server/handshake.h"
#include "server/intake.h"
#include "server/send.h"
#include "shell/log.h"
#include "shell/sys.h"
#include "telemetry/snapshot.h"

namespace {

const uint8_t* input;
size_t input_size;
size_t input_pos;
bool pass_started;   // a datagram of the current pass was handed out

std::atomic<uint32_t> relayed_sequence{0};
std::atomic<bool> consumer_stop{false};
std::thread consumer;

// The relay thread's stand-in: takes every queued text and checks that the
// queue hands them out whole and in order.
void RecordRelayCommands() {
    RelayCommand command{};
    for (;;) {
        Relay_WaitCommand(command);
        if (consumer_stop.load()) return;
        if (command.length < 0 || command.length > RELAY_TEXT_SIZE) __builtin_trap();
        uint32_t expected = relayed_sequence.load() + 1;
        if (command.sequence != expected) __builtin_trap();
        relayed_sequence.store(command.sequence);
    }
}

// Hands out the next record as a datagram; -1 (nothing waiting) at the end
// of the input and before a record that starts a new pass.
int FuzzPacketSource(uint8_t* buf, int size, std::array<uint8_t, 4>& ip, uint16_t& port) {
    if (input_pos >= input_size) return -1;
    const uint8_t head = input[input_pos];
    if ((head & 0x04) != 0 && pass_started) return -1;
    pass_started = true;

    size_t pos = input_pos + 1;
    size_t length = 0;
    if (pos < input_size) length = input[pos++];
    if (pos < input_size) length |= static_cast<size_t>(input[pos++]) << 8;
    length %= static_cast<size_t>(NET_RECEIVED_SIZE) + 1;
    if (length > input_size - pos) length = input_size - pos;
    if (length > static_cast<size_t>(size)) length = static_cast<size_t>(size);
    std::memcpy(buf, input + pos, length);
    input_pos = pos + length;

    const int sender = head & 0x03;
    ip = {127, 0, 0, static_cast<uint8_t>(2 + (sender >> 1))};
    port = Sys_HostToNetShort(static_cast<uint16_t>(27000 + (sender & 1)));
    return static_cast<int>(length);
}

// Checks what must hold after every pass, whatever the peers sent.
void CheckServerState() {
    for (const ClientSlot& client : sv_clients) {
        if (client.state != CLIENT_FREE && client.state != CLIENT_REMOVED &&
            client.state != CLIENT_CONNECTED)
            __builtin_trap();
        if (client.name.back() != 0) __builtin_trap();
        if (client.state == CLIENT_FREE) continue;
        const NetChannel& chan = client.netchan;
        if (chan.message.cursize < 0 || chan.message.cursize > chan.message.maxsize)
            __builtin_trap();
        if (chan.reliable_length < 0 || chan.reliable_length > NETCHAN_MAX_RELIABLE)
            __builtin_trap();
        if (client.datagram.cursize < 0 || client.datagram.cursize > client.datagram.maxsize)
            __builtin_trap();
    }
}

// At exit the consumer is woken with one more text and joined: the queue's
// condition variables cannot be destroyed while it waits on one.
void StopConsumer() {
    consumer_stop.store(true);
    Relay_QueueCommand("", 0);
    consumer.join();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Relay_Init();
    consumer = std::thread(RecordRelayCommands);
    std::atexit(StopConsumer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SV_ResetClients();
    SV_ResetHandshake();
    Cmd_Reset(sv_args);
    Snap_Reset();
    MSG_Reset();
    NET_Reset();
    Netchan_Reset();
    Sys_ResetOptions();
    log_enabled = 0;
    curtime = 100000;
    net_packet_source = FuzzPacketSource;

    input = data;
    input_size = size;
    input_pos = 0;
    while (input_pos < input_size) {
        const uint32_t step = static_cast<uint32_t>(input[input_pos] >> 3) * 600u;
        server_time += step;
        curtime += step;
        pass_started = false;

        SV_CheckClientTimeouts();
        SV_ReadPackets();
        frame_count++;
        SV_SendUpdates();
        CheckServerState();

        // An empty datagram ends SV_ReadPackets as it does in the server;
        // the rest of the input then comes in the next pass.
    }

    // Let the consumer catch up, so no text of this input is still queued
    // when the next one starts.
    while (relay_queue.count.load() > 0) std::this_thread::yield();
    net_packet_source = nullptr;
    return 0;
}

// The command stream of a client's accepted packet: what is relayed, what
// is logged, and when the client is removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "relay/relay.h"
#include "server/clients.h"
#include "server/commands.h"
#include "shell/log.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s, bool terminated = true) {
    Bytes b(s.begin(), s.end());
    if (terminated) b.push_back(0);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SvCommands : public ::testing::Test {
protected:
    void SetUp() override {
        SV_ResetClients();
        MSG_Reset();
        Netchan_Reset();
        Relay_Reset();
        ClientSlot& client = sv_clients[0];
        Netchan_Setup(client.netchan, NET_MakeAddress(127, 0, 0, 1, 27000), 7);
        client.state = CLIENT_CONNECTED;
        std::snprintf(client.name.data(), client.name.size(), "dash");

        log_file_ = std::filesystem::temp_directory_path() /
                    ("sv_commands_" + std::to_string(getpid()) + "_" +
                     std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                     ".log");
        std::snprintf(log_path, sizeof log_path, "%s", log_file_.string().c_str());
        std::ofstream(log_file_, std::ios::trunc).close();
        log_enabled = 1;
    }

    void TearDown() override {
        log_enabled = 0;
        std::error_code ignored;
        std::filesystem::remove(log_file_, ignored);
    }

    // Puts a sequenced packet (10 header bytes, then `commands`) where
    // packet intake leaves it and reads its commands.
    void Read(const Bytes& commands) {
        Bytes packet{1, 0, 0, 0, 0, 0, 0, 0, 7, 0};
        packet = packet + commands;
        ASSERT_LE(packet.size(), net_received_data.size());
        std::memcpy(net_received_data.data(), packet.data(), packet.size());
        net_received.cursize = static_cast<int32_t>(packet.size());
        MSG_BeginReading();
        MSG_ReadLong();
        MSG_ReadLong();
        MSG_ReadShort();
        SV_ReadClientMessage(sv_clients[0]);
    }

    // Every command waiting in the relay queue, oldest first.
    std::vector<std::string> Relayed() {
        std::vector<std::string> out;
        RelayCommand command{};
        while (relay_queue.count.load() > 0) {
            Relay_WaitCommand(command);
            out.emplace_back(command.text.data(), static_cast<size_t>(command.length));
        }
        return out;
    }

    // The messages of the log records, time stamps taken off.
    std::vector<std::string> Log() {
        std::ifstream in(log_file_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::vector<std::string> lines;
        std::string line;
        std::istringstream split(all.str());
        while (std::getline(split, line)) {
            size_t at = line.find(" - ");
            lines.push_back(at == std::string::npos ? line : line.substr(at + 3));
        }
        std::ofstream(log_file_, std::ios::trunc).close();
        return lines;
    }

    using Lines = std::vector<std::string>;
    std::filesystem::path log_file_;
};

}  // namespace

TEST_F(SvCommands, EachCommandStreamIsRelayedLoggedAndEndedAsItsBytesSay) {
    // 105 characters that a cut would turn into "... p0 4"; 104 go whole.
    std::string text104 = "key";
    for (int i = 0; i < 33; i++) text104 += " p0";
    text104 += " 4";
    const std::string long_text(2047, 'a');
    using Texts = std::vector<std::string>;
    struct Case {
        const char* what;
        Bytes commands;
        Lines log;
        Texts relayed;
        bool removed;
    } cases[] = {
        {"nops, a text, the end", Bytes{1, 1, 4} + Text("key 13") + Bytes{0xFF},
         {"stringcmd = key 13"}, {"key 13"}, false},
        {"a text ended by 0xFF", Bytes{4} + Text("key 1") + Bytes{1, 4} + Text("key 2", false) + Bytes{0xFF},
         {"stringcmd = key 1", "stringcmd = key 2"}, {"key 1", "key 2"}, false},
        {"only nops", Bytes{1, 1, 1}, {}, {}, false},
        {"a text cut by the packet's end", Bytes{4} + Text("key 9", false),
         {"stringcmd = key 9", "SV_ReadClientMessage: badread", "Client dash removed"}, {"key 9"}, true},
        {"disconnect", Bytes{1, 2, 4} + Text("key 1"), {"disconnect", "Client dash removed"}, {}, true},
        {"an unknown byte", Bytes{3, 4} + Text("key 1"),
         {"SV_ReadClientMessage: unknown command char = \x03"}, {}, false},
        {"a high byte", Bytes{0x80, 4} + Text("key 1"),
         {"SV_ReadClientMessage: unknown command char = \x80"}, {}, false},
        {"print", Bytes{110, 4} + Text("key 1"), {"print"}, {}, false},
        {"0xFF", Bytes{0xFF, 4} + Text("key 1"), {}, {}, false},
        // The byte after the 2047th character is read as the next command.
        {"2047 characters", Bytes{4} + Text(long_text, false) + Bytes{4} + Text("key 5"),
         {"Command of 2047 characters is longer than 104, dropped", "stringcmd = key 5"}, {"key 5"}, false},
        {"105 characters", Bytes{4} + Text(text104 + "5") + Bytes{4} + Text(text104),
         {"Command of 105 characters is longer than 104, dropped", "stringcmd = " + text104}, {text104}, false},
    };
    for (const Case& c : cases) {
        SetUp();
        Read(c.commands);
        EXPECT_EQ(Log(), c.log) << c.what;
        EXPECT_EQ(Relayed(), c.relayed) << c.what;
        EXPECT_EQ(sv_clients[0].state, c.removed ? CLIENT_REMOVED : CLIENT_CONNECTED) << c.what;
        // A removed client is told with the disconnect byte in its reliable message.
        const SizeBuffer& message = sv_clients[0].netchan.message;
        EXPECT_EQ(message.cursize == 1 && message.data[0] == SRV_DISCONNECT, c.removed) << c.what;
    }
}

TEST_F(SvCommands, APacketShorterThanItsHeaderRemovesTheClientBeforeAnyCommand) {
    const Bytes packet{1, 0, 0, 0, 0, 0};
    std::memcpy(net_received_data.data(), packet.data(), packet.size());
    net_received.cursize = static_cast<int32_t>(packet.size());
    MSG_BeginReading();
    MSG_ReadLong();
    MSG_ReadLong();   // runs past the end
    MSG_ReadShort();
    SV_ReadClientMessage(sv_clients[0]);
    EXPECT_EQ(Log(), (Lines{"SV_ReadClientMessage: badread", "Client dash removed"}));
    EXPECT_EQ(sv_clients[0].state, CLIENT_REMOVED);
}

TEST_F(SvCommands, AFullRelayQueueDropsTextsAndAPacketCostsFewLogLines) {
    // The relay is not taking anything. One packet of 150 texts: 100 wait,
    // the first 8 are logged one by one, the other 92 and the 50 that met
    // the full queue are counted, and reading goes on behind them.
    Bytes commands;
    for (int i = 0; i < 150; i++) commands = commands + Bytes{4} + Text("key " + std::to_string(i));
    Read(commands + Bytes{2});
    Lines expect;
    for (int i = 0; i < 8; i++) expect.push_back("stringcmd = key " + std::to_string(i));
    expect.insert(expect.end(), {"disconnect", "Client dash removed", "92 more commands relayed",
                                 "Relay queue full, 50 commands dropped"});
    EXPECT_EQ(Log(), expect);
    EXPECT_EQ(relay_queue.count.load(), RELAY_QUEUE_SIZE);

    // One taken leaves room for one: one text relayed, one dropped.
    RelayCommand command{};
    Relay_WaitCommand(command);
    EXPECT_EQ(std::string(command.text.data(), static_cast<size_t>(command.length)), "key 0");
    Read(Bytes{4} + Text("key 150") + Bytes{4} + Text("key 151"));
    EXPECT_EQ(Log(), (Lines{"stringcmd = key 150", "Relay queue full, 1 command dropped"}));
    std::vector<std::string> relayed = Relayed();
    ASSERT_EQ(relayed.size(), static_cast<size_t>(RELAY_QUEUE_SIZE));
    EXPECT_EQ(relayed.front(), "key 1");
    EXPECT_EQ(relayed.back(), "key 150");

    // Over-long texts share the eight lines; the rest are counted.
    Bytes longs;
    for (int i = 0; i < 9; i++) longs = longs + Bytes{4} + Text(std::string(105, 'k'));
    Read(longs + Bytes{4} + Text("key 5") + Bytes{4} + Text(std::string(200, 'k')));
    expect.assign(8, "Command of 105 characters is longer than 104, dropped");
    expect.insert(expect.end(), {"1 more command relayed", "2 more commands longer than 104 dropped"});
    EXPECT_EQ(Log(), expect);
    EXPECT_EQ(Relayed(), (std::vector<std::string>{"key 5"}));
}

TEST_F(SvCommands, TheServerNumbersItsPacketsOnFromTheClientsLatest) {
    NetChannel& chan = sv_clients[0].netchan;
    chan.incoming_sequence = 40;
    chan.outgoing_sequence = 12;
    Read(Bytes{});
    EXPECT_EQ(chan.outgoing_sequence, 40);

    // A client behind the server changes nothing.
    chan.incoming_sequence = 41;
    chan.outgoing_sequence = 50;
    Read(Bytes{});
    EXPECT_EQ(chan.outgoing_sequence, 50);
    chan.incoming_sequence = 50;
    Read(Bytes{});
    EXPECT_EQ(chan.outgoing_sequence, 50);
}

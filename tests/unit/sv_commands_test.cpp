// The commands of a client's packet: what is relayed, what is logged, and
// when the client is removed.
#include "sv_support.h"

namespace {

Bytes Text(const std::string& s, bool terminated = true) {
    Bytes b(s.begin(), s.end());
    if (terminated) b.push_back(0);
    return b;
}

class Commands : public SvServer {
protected:
    // A fresh connection whose first packet carries `commands`.
    void Send(const Bytes& commands) {
        SV_ResetClients();
        ASSERT_EQ(Connect(dash, 7, "dash"), 0);
        Deliver(dash, Sequenced(1, 0, 7, commands));
    }
    // Every text waiting in the relay queue, oldest first.
    Lines Relayed() {
        Lines out;
        for (RelayCommand command{}; relay_queue.count.load() > 0;) {
            Relay_WaitCommand(command);
            out.emplace_back(command.text.data(), static_cast<size_t>(command.length));
        }
        return out;
    }
    Dash dash;
};

}  // namespace

TEST_F(Commands, EachCommandStreamIsRelayedLoggedAndEndedAsItsBytesSay) {
    // 105 characters that a cut would turn into "... p0 4"; 104 go whole.
    std::string text104 = "key";
    for (int i = 0; i < 33; i++) text104 += " p0";
    text104 += " 4";
    const struct {
        const char* what;
        Bytes commands;
        Lines log, relayed;
        bool removed;
    } cases[] = {
        {"nops, a text, the end", Bytes{1, 1, 4} + Text("key 13") + Bytes{0xFF}, {"stringcmd = key 13"}, {"key 13"}, false},
        {"a text ended by 0xFF", Bytes{4} + Text("key 1") + Bytes{1, 4} + Text("key 2", false) + Bytes{0xFF},
         {"stringcmd = key 1", "stringcmd = key 2"}, {"key 1", "key 2"}, false},
        {"a text cut by the packet's end", Bytes{4} + Text("key 9", false),
         {"stringcmd = key 9", "SV_ReadClientMessage: badread", "Client dash removed"}, {"key 9"}, true},
        {"disconnect", Bytes{1, 2, 4} + Text("key 1"), {"disconnect", "Client dash removed"}, {}, true},
        {"an unknown byte", Bytes{3, 4} + Text("key 1"), {"SV_ReadClientMessage: unknown command char = \x03"}, {}, false},
        {"print", Bytes{110, 4} + Text("key 1"), {"print"}, {}, false},
        {"0xFF", Bytes{0xFF, 4} + Text("key 1"), {}, {}, false},
        // The byte after the 2047th character is read as the next command.
        {"2047 characters", Bytes{4} + Text(std::string(2047, 'a'), false) + Bytes{4} + Text("key 5"),
         {"Command of 2047 characters is longer than 104, dropped", "stringcmd = key 5"}, {"key 5"}, false},
        {"105 characters", Bytes{4} + Text(text104 + "5") + Bytes{4} + Text(text104),
         {"Command of 105 characters is longer than 104, dropped", "stringcmd = " + text104}, {text104}, false},
    };
    for (const auto& c : cases) {
        Relay_Reset();
        Send(c.commands);
        EXPECT_EQ(TakeLog(), c.log) << c.what;
        EXPECT_EQ(Relayed(), c.relayed) << c.what;
        EXPECT_EQ(sv_clients[0].state, c.removed ? CLIENT_REMOVED : CLIENT_CONNECTED) << c.what;
        // A removed client's reliable message holds the disconnect byte alone.
        const SizeBuffer& message = sv_clients[0].netchan.message;
        EXPECT_EQ(Bytes(message.data, message.data + message.cursize), c.removed ? Bytes{2} : Bytes{}) << c.what;
    }
}

TEST_F(Commands, AFullRelayQueueDropsTextsAndAPacketCostsFewLogLines) {
    // The relay takes nothing. Of 150 texts 100 wait, the first 8 are logged
    // one by one, the other 92 and the 50 that met the full queue are counted,
    // and reading goes on behind them.
    Bytes commands;
    for (int i = 0; i < 150; i++) commands = commands + Bytes{4} + Text("key " + std::to_string(i));
    Send(commands + Bytes{2});
    Lines expect;
    for (int i = 0; i < 8; i++) expect.push_back("stringcmd = key " + std::to_string(i));
    expect.insert(expect.end(), {"disconnect", "Client dash removed", "92 more commands relayed",
                                 "Relay queue full, 50 commands dropped"});
    EXPECT_EQ(TakeLog(), expect);

    // One taken leaves room for one, behind the 99 others.
    RelayCommand first{};
    Relay_WaitCommand(first);
    EXPECT_EQ(std::string(first.text.data(), static_cast<size_t>(first.length)), "key 0");
    Send(Bytes{4} + Text("key 150") + Bytes{4} + Text("key 151"));
    EXPECT_EQ(TakeLog(), (Lines{"stringcmd = key 150", "Relay queue full, 1 command dropped"}));
    const Lines relayed = Relayed();
    ASSERT_EQ(relayed.size(), static_cast<size_t>(RELAY_QUEUE_SIZE));
    EXPECT_EQ(relayed.front(), "key 1");
    EXPECT_EQ(relayed.back(), "key 150");
}

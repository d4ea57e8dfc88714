// The commands of a client's packet: what is relayed, what is logged, and
// when the client is removed.
#include "sv_support.h"

using namespace std::string_literals;

namespace {

class Commands : public SvServer {
protected:
    // A fresh connection whose first packet carries `commands`: each a byte,
    // 1 nothing, 2 disconnect, 4 a text up to 0x00 or 0xFF, 110 print, 0xFF the end.
    void Send(const std::string& commands) {
        SV_ResetClients();
        ASSERT_TRUE(Connect(dash, 7, "dash"));
        Deliver(dash, Sequenced(1, 0, 7, Bytes(commands.begin(), commands.end())));
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
        std::string commands;
        Lines log, relayed;
        bool removed;
    } cases[] = {
        {"nops, a text, the end", "\1\1\4key 13\0\xFF"s, {"stringcmd = key 13"}, {"key 13"}, false},
        {"a text ended by 0xFF", "\4key 1\0\1\4key 2\xFF"s, {"stringcmd = key 1", "stringcmd = key 2"},
         {"key 1", "key 2"}, false},
        {"a text cut by the packet's end", "\4key 9",
         {"stringcmd = key 9", "SV_ReadClientMessage: badread", "Client dash removed"}, {"key 9"}, true},
        {"disconnect", "\1\2\4key 1\0"s, {"disconnect", "Client dash removed"}, {}, true},
        {"an unknown byte", "\3\4key 1\0"s, {"SV_ReadClientMessage: unknown command char = \x03"}, {}, false},
        {"print", "\x6E\4key 1\0"s, {"print"}, {}, false},
        {"0xFF", "\xFF\4key 1\0"s, {}, {}, false},
        // The byte after the 2047th character is read as the next command.
        {"2047 characters", "\4" + std::string(2047, 'a') + "\4key 5\0"s,
         {"Command of 2047 characters is longer than 104, dropped", "stringcmd = key 5"}, {"key 5"}, false},
        {"105 characters", "\4" + text104 + "5\0\4"s + text104 + '\0',
         {"Command of 105 characters is longer than 104, dropped", "stringcmd = " + text104}, {text104}, false},
    };
    for (const auto& c : cases) {
        Relay_Reset();
        Send(c.commands);
        EXPECT_EQ(TakeLog(), c.log) << c.what;
        EXPECT_EQ(Relayed(), c.relayed) << c.what;
        EXPECT_EQ(sv_clients[0].state, c.removed ? CLIENT_REMOVED : CLIENT_CONNECTED) << c.what;
    }
}

TEST_F(Commands, AFullRelayQueueDropsTextsAndAPacketCostsFewLogLines) {
    // The relay takes nothing. Of 150 texts 100 wait, the first 8 are logged
    // one by one, the other 92 and the 50 that met the full queue are counted,
    // and reading goes on behind them.
    std::string commands;
    for (int i = 0; i < 150; i++) commands += "\4key " + std::to_string(i) + '\0';
    Send(commands + '\2');
    Lines expect;
    for (int i = 0; i < 8; i++) expect.push_back("stringcmd = key " + std::to_string(i));
    expect.insert(expect.end(), {"disconnect", "Client dash removed", "92 more commands relayed",
                                 "Relay queue full, 50 commands dropped"});
    ASSERT_EQ(TakeLog(), expect);   // else the queue may be empty, and taking from it would wait for ever

    // One taken leaves room for one, behind the 99 others.
    RelayCommand first{};
    Relay_WaitCommand(first);
    Send("\4key 150\0\4key 151\0"s);
    EXPECT_EQ(TakeLog(), (Lines{"stringcmd = key 150", "Relay queue full, 1 command dropped"}));
    const Lines relayed = Relayed();
    ASSERT_EQ(relayed.size(), static_cast<size_t>(RELAY_QUEUE_SIZE));
    EXPECT_EQ(relayed.front(), "key 1");
    EXPECT_EQ(relayed.back(), "key 150");
}

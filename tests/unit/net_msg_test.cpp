// tests/unit/net_msg_test.cpp: field encodings, overflow rules and readers.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "net/byte_order.h"
#include "net/msg.h"
#include "net_test_support.h"

using Bytes8 = std::vector<uint8_t>;

namespace {

struct TestBuffer {
    std::array<uint8_t, 64> storage{};
    SizeBuffer buf;
    explicit TestBuffer(int maxsize, bool allow) {
        buf = {static_cast<uint8_t>(allow ? 1 : 0), 0, storage.data(), maxsize, 0};
    }
};

}  // namespace

TEST(MessageWriters, PutEveryFieldLeastSignificantByteFirst) {
    ByteOrder_Init();
    TestBuffer t(64, false);
    MSG_WriteShort(t.buf, -2);
    MSG_WriteLong(t.buf, -1);
    MSG_WriteFloat(t.buf, 1.0f);
    MSG_WriteByte(t.buf, 0x1234);       // low 8 bits only
    MSG_WriteShort(t.buf, 0x12345);     // low 16 bits only
    MSG_WriteLong(t.buf, 0x12345678);
    MSG_WriteFloat(t.buf, -2.5f);       // bit pattern C0 20 00 00
    const uint8_t raw[3] = {0x00, 0xFF, 0x0A};
    SZ_Write(t.buf, raw, 3);
    EXPECT_EQ(Bytes(t.buf), (Bytes8{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x3F,
                                   0x34, 0x45, 0x23, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x20,
                                   0xC0, 0x00, 0xFF, 0x0A}));
    EXPECT_EQ(t.buf.overflowed, 0);
}

TEST(MessageReaders, ReadBackWhatTheWritersWrote) {
    TestBuffer t(64, false);
    MSG_WriteByte(t.buf, 200);
    MSG_WriteByte(t.buf, 0x7F);
    MSG_WriteShort(t.buf, -12345);
    MSG_WriteLong(t.buf, INT_MIN);
    MSG_WriteLong(t.buf, 0x7FFFFFFF);
    MSG_WriteFloat(t.buf, 3.25f);
    SetReceived(Bytes(t.buf));
    EXPECT_EQ(MSG_ReadChar(), 200 - 256);
    EXPECT_EQ(MSG_ReadChar(), 0x7F);
    EXPECT_EQ(MSG_ReadShort(), -12345);
    EXPECT_EQ(MSG_ReadLong(), INT_MIN);
    EXPECT_EQ(MSG_ReadLong(), 0x7FFFFFFF);
    EXPECT_EQ(MSG_ReadLong(), std::bit_cast<int32_t>(3.25f));
    EXPECT_EQ(msg_badread, 0);
    EXPECT_EQ(msg_readpos, t.buf.cursize);

    SetReceived({0xFF, 0x7F, 0x00, 0x80, 0xFF});
    EXPECT_EQ(MSG_ReadShort(), 32767);
    EXPECT_EQ(MSG_ReadShort(), -32768);
    EXPECT_EQ(MSG_ReadChar(), -1);      // a byte 0xFF reads as the end value
    EXPECT_EQ(msg_badread, 0);
}

TEST(MessageReaders, ShortDatagramReadsMinusOneAndKeepsTheCursor) {
    SetReceived({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
    EXPECT_EQ(MSG_ReadLong(), 0x04030201);
    EXPECT_EQ(MSG_ReadLong(), -1);      // 3 bytes left
    EXPECT_EQ(msg_badread, 1);
    EXPECT_EQ(msg_readpos, 4);
    EXPECT_EQ(MSG_ReadChar(), 0x05);    // the next byte is still there
    EXPECT_EQ(MSG_ReadShort(), 0x0706);
    EXPECT_EQ(MSG_ReadShort(), -1);
    EXPECT_EQ(MSG_ReadChar(), -1);
    EXPECT_EQ(msg_readpos, 7);
    EXPECT_EQ(msg_badread, 1);          // stays set until reading starts again
    MSG_BeginReading();
    EXPECT_EQ(msg_badread, 0);
    EXPECT_EQ(MSG_ReadChar(), 0x01);

    SetReceived({});
    EXPECT_EQ(MSG_ReadShort(), -1);
    EXPECT_EQ(msg_badread, 1);
}

TEST(StringReaders, EndAtTheirTerminatorsOrTheDatagramsEnd) {
    SetReceived({'a', 'b', 0xFF, 'c', 'd', 0x00, 'e', '\n', 'f'});
    EXPECT_STREQ(MSG_ReadString(), "ab");
    EXPECT_EQ(msg_readpos, 3);          // the 0xFF was consumed
    EXPECT_STREQ(MSG_ReadString(), "cd");
    EXPECT_EQ(msg_readpos, 6);
    EXPECT_EQ(msg_badread, 0);
    EXPECT_STREQ(MSG_ReadString(), "e\nf");  // a line feed does not end a string
    EXPECT_EQ(msg_badread, 1);               // no terminator before the end
    EXPECT_STREQ(MSG_ReadString(), "");

    SetReceived({'g', 'e', 't', 'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g', 'e', '\n', 'x', 0x00});
    const char* line = MSG_ReadStringLine();
    EXPECT_STREQ(line, "getchallenge");
    EXPECT_EQ(msg_readpos, 13);
    // The two readers keep their own texts.
    EXPECT_STREQ(MSG_ReadString(), "x");
    EXPECT_STREQ(line, "getchallenge");
    EXPECT_EQ(msg_badread, 0);

    SetReceived({0x01, 0x7F, 0x80, 0xFE, 0x00});
    EXPECT_EQ(std::string(MSG_ReadStringLine()), std::string("\x01\x7F\x80\xFE"));
}

TEST(SizeBufferOverflow, FillsToMaxsizeThenEmptiesAndFlagsWhenAllowed) {
    LogCapture log;
    TestBuffer exact(8, false);
    MSG_WriteLong(exact.buf, 1);
    MSG_WriteLong(exact.buf, 2);        // ends exactly at maxsize
    EXPECT_EQ(exact.buf.cursize, 8);
    EXPECT_EQ(exact.buf.overflowed, 0);

    TestBuffer t(32, true);
    std::vector<uint8_t> fill(32, 0xAA);
    SZ_Write(t.buf, fill.data(), 30);
    MSG_WriteLong(t.buf, 0x01020304);   // 30 + 4 > 32: the buffer starts over
    EXPECT_EQ(t.buf.overflowed, 1);
    EXPECT_EQ(Bytes(t.buf), (Bytes8{0x04, 0x03, 0x02, 0x01}));
    EXPECT_TRUE(log.Has("SZ_GetSpace: overflow\n"));

    SZ_Clear(t.buf);
    EXPECT_EQ(t.buf.cursize, 0);
    EXPECT_EQ(t.buf.overflowed, 1);     // only the owner clears it
    SZ_Write(t.buf, fill.data(), 32);   // a write of the whole capacity fits
    EXPECT_EQ(t.buf.cursize, 32);
}


// The datagram format: layout, the receive buffer's bounds, the name list and the acceptance rule.
#include "BoardMessage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<char> Datagram(const char *cmd, std::uint32_t ta, std::uint32_t sess, std::uint32_t stat,
                           std::uint32_t vmajor, std::uint32_t vminor, const std::string &text)
{
    BoardMessageHeader header = {};
    std::strncpy(header.cmd, cmd, kCmdSize);
    header.ta = ta;
    header.sess = sess;
    header.stat = stat;
    header.vmajor = vmajor;
    header.vminor = vminor;
    return EncodeBoardMessage(header, text);
}

BoardMessageHeader Version(std::uint32_t vmajor, std::uint32_t vminor)
{
    BoardMessageHeader header = {};
    header.vmajor = vmajor;
    header.vminor = vminor;
    return header;
}

}  // namespace

TEST(BoardMessage, EncodesTheLittleEndianLayout)
{
    BoardMessageHeader header = MakeLoaderHeader(kMsgTimeOk, 0x01020304, 0xA0B0C0D0, kStatusAck);
    std::vector<char> bytes = EncodeBoardMessage(header, "hello");
    ASSERT_EQ(56u + 5 + 1, bytes.size());
    EXPECT_EQ("TIME_OK", std::string(bytes.data()));
    for (std::size_t i = 7; i < 32; ++i) EXPECT_EQ(0, bytes[i]) << i;
    const unsigned char expected[24] = {4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0, 0, 0, 0, 0,
                                        1, 0, 0, 0, 2,    0,    0,    0,    0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, bytes.data() + 32, sizeof expected));
    EXPECT_EQ("hello", std::string(bytes.data() + 56));
    EXPECT_EQ(0, bytes.back());
}

TEST(BoardMessage, DecodesWhatWasEncoded)
{
    std::vector<char> bytes = Datagram("COPY_WAIT", 7, 9, kStatusCopying, 1, 0, "12/40");
    BoardMessage message;
    ASSERT_TRUE(DecodeBoardMessage(bytes.data(), bytes.size(), message));
    EXPECT_EQ(kMsgCopyWait, BoardMessageIdOf(message.header.cmd));
    EXPECT_EQ(7u, message.header.ta);
    EXPECT_EQ(9u, message.header.sess);
    EXPECT_EQ(kStatusCopying, message.header.stat);
    EXPECT_EQ(1u, message.header.vmajor);
    EXPECT_EQ("12/40", message.text);
}

TEST(BoardMessage, ReadsWithinTheZeroedReceiveBuffer)
{
    BoardMessage message;
    // Short datagrams read as if the rest were zero.
    const char shortOne[] = "ALIVE";
    ASSERT_TRUE(DecodeBoardMessage(shortOne, sizeof shortOne, message));
    EXPECT_EQ(kMsgAlive, BoardMessageIdOf(message.header.cmd));
    EXPECT_EQ(0u, message.header.ta);
    EXPECT_EQ(0u, message.header.vmajor);
    EXPECT_EQ("", message.text);
    ASSERT_TRUE(DecodeBoardMessage(nullptr, 0, message));
    EXPECT_EQ(kMsgNone, BoardMessageIdOf(message.header.cmd));

    // A full buffer without a NUL gives a text of 456 characters, the text ends at its first NUL.
    std::vector<char> full(kReceiveSize, 'x');
    std::memcpy(full.data(), "MSG_ERR", 8);
    ASSERT_TRUE(DecodeBoardMessage(full.data(), full.size(), message));
    EXPECT_EQ(std::string(456, 'x'), message.text);
    full[100] = '\0';
    ASSERT_TRUE(DecodeBoardMessage(full.data(), full.size(), message));
    EXPECT_EQ(44u, message.text.size());

    std::vector<char> tooLong(kReceiveSize + 1, 'x');
    EXPECT_FALSE(DecodeBoardMessage(tooLong.data(), tooLong.size(), message));
}

TEST(BoardMessage, LimitsTheSentTextTo2047Characters)
{
    std::vector<char> bytes = EncodeBoardMessage(MakeLoaderHeader(kMsgConnect, 0, 0, 1), std::string(5000, 'a'));
    EXPECT_EQ(56u + 2047 + 1, bytes.size());
    EXPECT_EQ(0, bytes.back());
    EXPECT_EQ(56u + 2047 + 1, EncodeBoardMessage(MakeLoaderHeader(1, 0, 0, 1), std::string(2047, 'a')).size());
    EXPECT_EQ(57u, EncodeBoardMessage(MakeLoaderHeader(1, 0, 0, 1), "").size());
}

TEST(BoardMessage, KnowsExactlyTheFortySixNames)
{
    EXPECT_EQ(46, kBoardMessageCount);
    for (int id = 0; id < kBoardMessageCount; ++id) {
        char cmd[kCmdSize] = {};
        std::strncpy(cmd, BoardMessageNames[id], kCmdSize);
        EXPECT_EQ(id, BoardMessageIdOf(cmd)) << BoardMessageNames[id];
    }
    EXPECT_STREQ("SERVER", BoardMessageNames[0]);
    EXPECT_STREQ("DISCONNECT", BoardMessageNames[27]);
    EXPECT_STREQ("IA_ETHER_ADRESS", BoardMessageNames[43]);
    EXPECT_STREQ("SW_SIGN_OK", BoardMessageNames[45]);
    EXPECT_EQ(nullptr, BoardMessageName(-1));
    EXPECT_EQ(nullptr, BoardMessageName(46));

    char lower[kCmdSize] = "connect";
    EXPECT_EQ(kMsgNone, BoardMessageIdOf(lower));
    char prefix[kCmdSize] = "CONNEC";
    EXPECT_EQ(kMsgNone, BoardMessageIdOf(prefix));
    char longer[kCmdSize] = "CONNECTED";
    EXPECT_EQ(kMsgNone, BoardMessageIdOf(longer));
    // Bytes after the NUL carry no meaning.
    char trailing[kCmdSize] = "ALIVE\0garbage";
    EXPECT_EQ(kMsgAlive, BoardMessageIdOf(trailing));
    // A name that fills all 32 bytes has no terminator and is no name.
    char unterminated[kCmdSize];
    std::memset(unterminated, 'A', kCmdSize);
    EXPECT_EQ(kMsgNone, BoardMessageIdOf(unterminated));
}

TEST(BoardMessage, AcceptsOnlyTheBoardPortAndVersionsUpToTwoZero)
{
    EXPECT_TRUE(IsAcceptableSource(6011, Version(2, 0)));
    EXPECT_TRUE(IsAcceptableSource(6011, Version(1, 0)));
    EXPECT_TRUE(IsAcceptableSource(6011, Version(2, 4294967295u)));
    EXPECT_TRUE(IsAcceptableSource(6011, Version(0x80000000u, 0)));
    EXPECT_FALSE(IsAcceptableSource(6011, Version(2, 1)));
    EXPECT_FALSE(IsAcceptableSource(6011, Version(1, 1)));
    EXPECT_FALSE(IsAcceptableSource(6011, Version(3, 0)));
    EXPECT_FALSE(IsAcceptableSource(6010, Version(2, 0)));
    EXPECT_FALSE(IsAcceptableSource(6012, Version(1, 0)));

    EXPECT_EQ("v3.0 p6011.\r\n[v2.0 p6011!]", FormatRefusedSource(6011, Version(3, 0)));
    EXPECT_EQ("v2.4294967295 p6010.\r\n[v2.0 p6011!]", FormatRefusedSource(6010, Version(2, 4294967295u)));
}

TEST(BoardMessage, FormatsTheConnectAnswer)
{
    EXPECT_EQ("export CPFLASH_SERVER_IP=192.168.1.20\n"
              "export CPFLASH_CLIENT_SESSION=4294967295\n"
              "export CPFLASH_CLIENT_SCRIPT=cpflash.client\n",
              FormatConnectAnswer("192.168.1.20", 4294967295u));
}

TEST(BoardMessage, ReadsResourceNumbersFromBoardTextsWithinBounds)
{
    unsigned id = 0;
    EXPECT_TRUE(BoardTextResourceId("5 formatting", 3100, id));
    EXPECT_EQ(3105u, id);
    EXPECT_FALSE(BoardTextResourceId("  -100", 3100, id)) << "text 3000 is no status text";
    EXPECT_TRUE(BoardTextResourceId("62435", 3100, id));
    EXPECT_EQ(65535u, id);
    EXPECT_FALSE(BoardTextResourceId("62436", 3100, id));
    EXPECT_FALSE(BoardTextResourceId("-3100", 3100, id));
    EXPECT_FALSE(BoardTextResourceId("99999999999999999999999999", 3000, id));
    // 2^64 + 5: a sum that wrapped would name text 3005.
    EXPECT_FALSE(BoardTextResourceId("18446744073709551621", 3000, id));
    EXPECT_FALSE(BoardTextResourceId("-99999999999999999999999999", 3000, id));
    EXPECT_FALSE(BoardTextResourceId("", 3000, id));
    EXPECT_FALSE(BoardTextResourceId("abc 5", 3000, id));
    EXPECT_FALSE(BoardTextResourceId("-", 3000, id));
}

TEST(BoardMessage, ShowsABoardTextAsBoundedPrintableText)
{
    const struct {
        std::string text, shown;
    } cases[] = {
        {"12/34 copied", "12/34 copied"},
        {"line\r\nnext\tcol", "line  next col"},
        {std::string("\x01\x7f\x80\xe5\xff", 5), "?????"},
        {std::string(600, 'x'), std::string(kMaxShownText, 'x')},
    };
    for (const auto &c : cases) EXPECT_EQ(c.shown, ShownBoardText(c.text)) << c.text;
}

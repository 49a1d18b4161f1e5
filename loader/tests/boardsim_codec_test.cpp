// The board simulator writes the dialogue's format out on its own; both readings must agree byte for byte.
#include "BoardMessage.h"
#include "BoardSim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(BoardSimCodec, AgreesWithTheLoadersCodec)
{
    boardsim::Message board;
    board.name = "COPY_WAIT";
    board.ta = 0xDEADBEEF;
    board.sess = 42;
    board.stat = 3;
    board.vmajor = 1;
    board.vminor = 7;
    board.text = "17/40";
    const std::vector<std::uint8_t> bytes = boardsim::Encode(board);

    BoardMessage loader;
    ASSERT_TRUE(DecodeBoardMessage(bytes.data(), bytes.size(), loader));
    EXPECT_EQ(kMsgCopyWait, BoardMessageIdOf(loader.header.cmd));
    EXPECT_EQ(board.ta, loader.header.ta);
    EXPECT_EQ(board.sess, loader.header.sess);
    EXPECT_EQ(board.stat, loader.header.stat);
    EXPECT_EQ(board.vmajor, loader.header.vmajor);
    EXPECT_EQ(board.vminor, loader.header.vminor);
    EXPECT_EQ(board.text, loader.text);

    const std::vector<char> answer = EncodeBoardMessage(MakeLoaderHeader(kMsgCopyWait, 5, 42, kStatusAck), "17/40");
    boardsim::Message decoded;
    ASSERT_TRUE(boardsim::Decode(std::vector<std::uint8_t>(answer.begin(), answer.end()), decoded));
    EXPECT_EQ("COPY_WAIT", decoded.name);
    EXPECT_EQ(5u, decoded.ta);
    EXPECT_EQ(1u, decoded.stat);
    EXPECT_EQ(2u, decoded.vmajor);
    EXPECT_EQ(0u, decoded.vminor);
    EXPECT_EQ("17/40", decoded.text);
}

TEST(BoardSimCodec, SizedDatagramsLoseTheirTerminator)
{
    boardsim::Message board;
    board.name = "ALIVE";
    std::vector<std::uint8_t> full = boardsim::EncodeSized(board, kReceiveSize);
    ASSERT_EQ(kReceiveSize, full.size());
    EXPECT_EQ('x', full.back());
    BoardMessage loader;
    ASSERT_TRUE(DecodeBoardMessage(full.data(), full.size(), loader));
    EXPECT_EQ(std::string(kMaxReceivedText, 'x'), loader.text);
    boardsim::Message back;
    EXPECT_FALSE(boardsim::Decode(full, back));
}

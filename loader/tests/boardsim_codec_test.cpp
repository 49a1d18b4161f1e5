// The board simulator writes the dialogue's format out on its own; both readings must agree byte for byte.
#include "BoardMessage.h"
#include "BoardSim.h"
#include "Installation.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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

// The simulated board reads what the PC serves: a boot list naming a file outside the boot folder (by
// "..", an absolute path or a link) fails the boot-file step instead of reading it.
TEST(BoardSimInstall, ReadsNothingOutsideTheBootFolder)
{
    namespace fs = std::filesystem;
    char scratch[] = "/tmp/boardsim-confine.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(scratch));
    const fs::path root = scratch, boot = root / "tftpboot";
    fs::create_directories(boot);
    std::ofstream(root / "secret", std::ios::binary) << "secret";
    std::ofstream(root / "bootptab.ini") << "[02-A0-3E-74-00-5A]\nIP address=127.0.0.2\n";
    fs::create_symlink(root / "secret", boot / "link");
    for (const std::string name : {std::string("../secret"), (root / "secret").string(), std::string("link")}) {
        std::ofstream(boot / "install_Dravenle.tftp", std::ios::binary) << name << ";6;BOOT;0;0\n";
        boardsim::InstallOptions options;
        options.bootFolder = boot.string();
        options.bootpDatabase = (root / "bootptab.ini").string();
        const boardsim::InstallResult result = boardsim::Install(options);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_EQ("TFTP boot files", result.failedStep) << name << ": " << result.why;
        EXPECT_NE(std::string::npos, result.why.find("outside the boot folder")) << result.why;
    }
    fs::remove_all(root);
}

// A file the simulated board reads over NFS is compared with the delivery's own copy only inside the
// delivery: a path that leads out of it (by "..", or through a link) fails instead of reading elsewhere.
TEST(BoardSimInstall, ComparesNfsFilesOnlyInsideTheDelivery)
{
    namespace fs = std::filesystem;
    char scratch[] = "/tmp/boardsim-nfs.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(scratch));
    const fs::path root = scratch, delivery = root / "delivery";
    fs::create_directories(delivery / "boot");
    std::ofstream(delivery / "boot" / "a", std::ios::binary) << "a";
    std::ofstream(root / "secret", std::ios::binary) << "secret";
    fs::create_symlink(root / "secret", delivery / "link");
    const struct {
        const char *path, *content, *why;
    } cases[] = {
        {"/boot/a", "a", ""},
        {"/boot/a", "b", "differs"},
        {"/../secret", "secret", "outside the delivery"},
        {"/boot/../../secret", "secret", "outside the delivery"},
        {"/link", "secret", "outside the delivery"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_EQ(*c.why == '\0', boardsim::MatchesDelivery(delivery.string(), c.path, c.content, why)) << c.path;
        EXPECT_NE(std::string::npos, why.find(c.why)) << c.path << ": " << why;
    }
    fs::remove_all(root);
}

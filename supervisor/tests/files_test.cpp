// Uncompression with zlib: whole files only; anything cut short is deleted and reported as a failure.
#include "board_fixture.h"

#include "files.h"

#include <sys/mount.h>
#include <zlib.h>

using namespace board;

namespace {

class Uncompress : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_EQ(0, system("mkdir -p /tmp/in /tmp/out"));
    }

    static void gzipFile(const std::string &path, const std::string &content)
    {
        gzFile f = gzopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(static_cast<int>(content.size()), gzwrite(f, content.data(), content.size()));
        ASSERT_EQ(Z_OK, gzclose(f));
    }
};

TEST_F(Uncompress, AFileIsCopiedWholeInBlocks)
{
    std::string content;
    for (int i = 0; content.size() < 100000; ++i) content += "line " + std::to_string(i) + "\n";
    gzipFile("/tmp/in/big.bin.gz", content);
    EXPECT_EQ("/tmp/out/big.bin", filesOuncompressInDir("/tmp/in/big.bin.gz", "/tmp/out"));
    EXPECT_EQ(content, readFile("/tmp/out/big.bin"));
    EXPECT_EQ("/tmp/out/big.bin", filesOuncompressInDir("/tmp/in/big.bin.gz", "/tmp/out/"));
}

TEST_F(Uncompress, BadNamesAndBadInputLeaveNoOutput)
{
    gzipFile("/tmp/in/data.gz", std::string(50000, 'd'));
    // Cut short: the stream ends in the middle.
    const std::string whole = readFile("/tmp/in/data.gz");
    writeFile("/tmp/in/cut.gz", whole.substr(0, whole.size() / 2));
    writeFile("/tmp/in/plain.gz", "not compressed at all");
    gzipFile("/tmp/in/two.gz", "first member\n");
    ASSERT_EQ(0, system("echo second member | gzip >>/tmp/in/two.gz"));
    const std::string longDir = "/tmp/out/" + std::string(140, 'd');
    ASSERT_EQ(0, mkdir(longDir.c_str(), 0755));
    const struct {
        std::string file, directory, logged, output;
    } cases[] = {
        {"/tmp/in/data", "/tmp/out", "filesOuncompressInDir: src file /tmp/in/data doesn't end with .gz\n", ""},
        {".gz", "/tmp/out", "filesOuncompressInDir: src file .gz doesn't end with .gz\n", ""},
        {"/tmp/in/data.gz", "/tmp/none", "filesOuncompressInDir: destination /tmp/none doesn't exist !\n", ""},
        {"/tmp/in/data.gz", longDir, "filesOuncompressInDir: output file name too long !!\n", ""},
        {"/tmp/in/missing.gz", "/tmp/out", "filesOuncompressInDir: can't gzopen /tmp/in/missing.gz\n", ""},
        {"/tmp/in/cut.gz", "/tmp/out", "filesOuncompressInDir: gzread failed (error: unexpected end of file) in /tmp/in/cut.gz\n",
         "/tmp/out/cut"},
        {"/tmp/in/plain.gz", "/tmp/out", "filesOuncompressInDir: gzread failed (error: incorrect header check) in /tmp/in/plain.gz\n",
         "/tmp/out/plain"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ("", filesOuncompressInDir(c.file.c_str(), c.directory.c_str()));
        EXPECT_TRUE(logHas(c.logged)) << mainLog();
        if (!c.output.empty()) EXPECT_FALSE(filesBreadable(c.output.c_str()));
    }
    EXPECT_EQ("/tmp/out/two", filesOuncompressInDir("/tmp/in/two.gz", "/tmp/out"));
    EXPECT_EQ("first member\nsecond member\n", readFile("/tmp/out/two"));
    // Exactly at the bound of 151 characters.
    const std::string fits = "/tmp/out/" + std::string(151 - 9 - 7, 'f');
    ASSERT_EQ(0, mkdir(fits.c_str(), 0755));
    EXPECT_EQ(fits + "/data", filesOuncompressInDir("/tmp/in/data.gz", fits.c_str()));
}

// The last block is written only when the file is closed: a full file system fails the close.
TEST_F(Uncompress, AFailedCloseDeletesTheOutputAndFails)
{
    gzipFile("/tmp/in/small.gz", "small content\n");
    ASSERT_EQ(0, mkdir("/tmp/full", 0755));
    ASSERT_EQ(0, mount("full", "/tmp/full", "tmpfs", 0, "size=4k"));
    writeFile("/tmp/full/filler", std::string(4096, 'f'));
    EXPECT_EQ("", filesOuncompressInDir("/tmp/in/small.gz", "/tmp/full"));
    EXPECT_TRUE(logHas("filesOuncompressInDir: fclose failed (file /tmp/full/small)\n")) << mainLog();
    EXPECT_FALSE(filesBreadable("/tmp/full/small"));
    umount("/tmp/full");
}

}  // namespace

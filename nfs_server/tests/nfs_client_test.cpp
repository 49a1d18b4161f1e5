// A libnfs client of Seldrix.exe under Wine (run by clients_test.sh inside the server's network
// namespace): files and folders made, written, renamed and removed through NFS, checked on the Linux
// side of the served folder ($SELDRIX_ROOT).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nfsc/libnfs.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Root() { return std::getenv("SELDRIX_ROOT") ? std::getenv("SELDRIX_ROOT") : "/nonexistent"; }

std::string Local(const std::string &path)
{
    std::ifstream in(Root() + path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat((Root() + path).c_str(), &st) == 0;
}

std::string Pattern(std::size_t n, unsigned seed)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 13 + seed + i / 4093);
    return data;
}

class NfsClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        Nfs = nfs_init_context();
        ASSERT_NE(nullptr, Nfs);
        // A lost reply fails the call rather than the whole run's time-out.
        nfs_set_timeout(Nfs, 20000);
        Url = nfs_parse_url_dir(Nfs, "nfs://127.0.0.1/?auto-traverse-mounts=0");
        ASSERT_NE(nullptr, Url) << nfs_get_error(Nfs);
        ASSERT_EQ(0, nfs_mount(Nfs, Url->server, Url->path)) << nfs_get_error(Nfs);
    }
    void TearDown() override
    {
        if (Url) nfs_destroy_url(Url);
        if (Nfs) nfs_destroy_context(Nfs);
    }

    // Writes the whole file through NFS in the client's own transfers; 0 or a negative errno.
    int Put(const std::string &path, const std::string &data)
    {
        nfsfh *file = nullptr;
        int rc = nfs_creat(Nfs, path.c_str(), 0644, &file);
        if (rc != 0) return rc;
        for (std::size_t at = 0; rc >= 0 && at < data.size(); at += std::size_t(rc)) {
            rc = nfs_write(Nfs, file, data.size() - at, const_cast<char *>(data.data() + at));
            if (rc == 0) rc = -EIO;
        }
        int closed = nfs_close(Nfs, file);
        return rc < 0 ? rc : closed;
    }
    std::string Get(const std::string &path)
    {
        nfsfh *file = nullptr;
        if (nfs_open(Nfs, path.c_str(), O_RDONLY, &file) != 0) return "<no such file>";
        std::string all;
        std::string buffer(1 << 20, '\0');
        for (int n; (n = nfs_read(Nfs, file, buffer.size(), &buffer[0])) > 0;) all.append(buffer, 0, std::size_t(n));
        nfs_close(Nfs, file);
        return all;
    }

    nfs_context *Nfs = nullptr;
    nfs_url *Url = nullptr;
};

}  // namespace

TEST_F(NfsClient, FilesOfSeveralSizesAreWrittenByteIdentical)
{
    ASSERT_EQ(0, nfs_mkdir(Nfs, "/sizes")) << nfs_get_error(Nfs);
    unsigned seed = 1;
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(1000), std::size_t(1) << 20,
                             (std::size_t(5) << 20) + 1}) {
        const std::string path = "/sizes/f" + std::to_string(size), data = Pattern(size, seed++);
        ASSERT_EQ(0, Put(path, data)) << path << ": " << nfs_get_error(Nfs);
        EXPECT_TRUE(Local(path) == data) << path;
        EXPECT_TRUE(Get(path) == data) << path;
    }
    const std::string shorter = Pattern(300, 99);
    nfsfh *file = nullptr;
    ASSERT_EQ(0, nfs_open(Nfs, "/sizes/f1000", O_WRONLY | O_TRUNC, &file)) << nfs_get_error(Nfs);
    ASSERT_EQ(300, nfs_write(Nfs, file, 300, const_cast<char *>(shorter.data())));
    nfs_close(Nfs, file);
    EXPECT_TRUE(Local("/sizes/f1000") == shorter) << "truncated and rewritten";
}

TEST_F(NfsClient, ASparseWriteReadsAsZerosBeforeItsData)
{
    nfsfh *file = nullptr;
    ASSERT_EQ(0, nfs_creat(Nfs, "/sparse.bin", 0644, &file)) << nfs_get_error(Nfs);
    ASSERT_EQ(5, nfs_pwrite(Nfs, file, 300000, 5, const_cast<char *>("tail!")));
    nfs_close(Nfs, file);
    std::string expected(300000, '\0');
    expected += "tail!";
    EXPECT_TRUE(Local("/sparse.bin") == expected);
}

TEST_F(NfsClient, ChangesReportTheirStatusCodes)
{
    ASSERT_EQ(0, nfs_mkdir(Nfs, "/codes"));
    EXPECT_EQ(-EEXIST, nfs_mkdir(Nfs, "/codes"));
    ASSERT_EQ(0, Put("/codes/a.txt", "a"));
    ASSERT_EQ(0, Put("/codes/b.txt", "b"));
    nfsfh *file = nullptr;
    EXPECT_EQ(-EEXIST, nfs_create(Nfs, "/codes/a.txt", O_CREAT | O_EXCL | O_WRONLY, 0644, &file));
    EXPECT_EQ(-ENOTEMPTY, nfs_rmdir(Nfs, "/codes"));
    EXPECT_EQ(-ENOENT, nfs_unlink(Nfs, "/codes/missing"));
    EXPECT_EQ(-ENOTDIR, nfs_rename(Nfs, "/codes/a.txt", "/codes/b.txt")) << "onto a file";
    EXPECT_NE(0, nfs_chmod(Nfs, "/codes/a.txt", 0600)) << "no modes";
    EXPECT_NE(0, Put("/codes/NUL", "device")) << "a device name";
    EXPECT_NE(0, Put("/codes/trailing.", "another name"));
    EXPECT_FALSE(Exists("/codes/NUL"));
    EXPECT_EQ("a", Local("/codes/a.txt"));

    ASSERT_EQ(0, nfs_truncate(Nfs, "/codes/a.txt", 4));
    EXPECT_EQ(std::string("a\0\0\0", 4), Local("/codes/a.txt"));
    timeval times[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(0, nfs_utimes(Nfs, "/codes/a.txt", times));
    struct stat st;
    ASSERT_EQ(0, stat((Root() + "/codes/a.txt").c_str(), &st));
    EXPECT_GT(st.st_mtime, std::time(nullptr) - 600) << "the server's time, not the client's";
}

TEST_F(NfsClient, FilesAndFoldersAreRenamedAndRemoved)
{
    ASSERT_EQ(0, nfs_mkdir(Nfs, "/tree"));
    ASSERT_EQ(0, nfs_mkdir(Nfs, "/tree/inner"));
    ASSERT_EQ(0, Put("/tree/inner/leaf.txt", "leaf"));
    ASSERT_EQ(0, nfs_rename(Nfs, "/tree/inner/leaf.txt", "/tree/moved.txt")) << nfs_get_error(Nfs);
    EXPECT_EQ("leaf", Local("/tree/moved.txt"));
    EXPECT_FALSE(Exists("/tree/inner/leaf.txt"));
    ASSERT_EQ(0, nfs_rename(Nfs, "/tree/inner", "/tree/renamed")) << nfs_get_error(Nfs);
    EXPECT_TRUE(Exists("/tree/renamed"));
    ASSERT_EQ(0, nfs_rmdir(Nfs, "/tree/renamed"));
    ASSERT_EQ(0, nfs_unlink(Nfs, "/tree/moved.txt"));
    ASSERT_EQ(0, nfs_rmdir(Nfs, "/tree"));
    EXPECT_FALSE(Exists("/tree"));
}

// The server's own open write handle never stands in the way of a removal or a rename.
TEST_F(NfsClient, AFileStillOpenForWritingIsRenamedAndRemoved)
{
    nfsfh *file = nullptr;
    ASSERT_EQ(0, nfs_creat(Nfs, "/open.txt", 0644, &file));
    ASSERT_EQ(4, nfs_write(Nfs, file, 4, const_cast<char *>("open")));
    EXPECT_EQ(0, nfs_rename(Nfs, "/open.txt", "/still-open.txt")) << nfs_get_error(Nfs);
    EXPECT_EQ("open", Local("/still-open.txt"));
    EXPECT_LT(nfs_pwrite(Nfs, file, 4, 4, const_cast<char *>("more")), 0) << "the old handle is stale";
    EXPECT_EQ("open", Local("/still-open.txt"));
    nfs_close(Nfs, file);

    ASSERT_EQ(0, nfs_open(Nfs, "/still-open.txt", O_WRONLY, &file));
    ASSERT_EQ(4, nfs_pwrite(Nfs, file, 4, 4, const_cast<char *>("more")));
    EXPECT_EQ(0, nfs_unlink(Nfs, "/still-open.txt")) << nfs_get_error(Nfs);
    EXPECT_FALSE(Exists("/still-open.txt"));
    nfs_close(Nfs, file);
}

// A reader that goes on until nothing comes meets the end of the file as no data, and so does one that
// reads an empty file or asks past the end.
TEST_F(NfsClient, ReadingUntilNothingComesEndsAtTheEndOfTheFile)
{
    for (std::size_t size : {std::size_t(0), std::size_t(1000), std::size_t(4096)}) {
        const std::string path = "/until-" + std::to_string(size), data = Pattern(size, 7);
        ASSERT_EQ(0, Put(path, data)) << path;
        nfsfh *file = nullptr;
        ASSERT_EQ(0, nfs_open(Nfs, path.c_str(), O_RDONLY, &file)) << nfs_get_error(Nfs);
        std::string all, buffer(3000, '\0');
        int n;
        while ((n = nfs_read(Nfs, file, buffer.size(), &buffer[0])) > 0) all.append(buffer, 0, std::size_t(n));
        EXPECT_EQ(0, n) << path << ": " << nfs_get_error(Nfs);
        EXPECT_TRUE(all == data) << path;
        EXPECT_EQ(0, nfs_pread(Nfs, file, size + 100, buffer.size(), &buffer[0])) << path << " past the end";
        nfs_close(Nfs, file);
    }
}

// The library package: named by the driver and published in "/tftpboot/" for the co-CPU boards, or
// fetched from the boot server with the stand-in tftp, which serves /tmp/tftp-server and records each
// file asked for.
#include "board_fixture.h"

#include "dlibmgt.h"
#include "driver.h"
#include "subconfig.h"

#include <dirent.h>

using namespace board;

namespace {

constexpr const char *SERVER = "/tmp/tftp-server/";

class Library : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_EQ(0, system("mkdir -p /current /tmp/tftp-server/libpkg /tmp/standins"));
        ASSERT_EQ(0, chdir("/current"));
        script("/tmp/bin/quick", "echo \"$*\" >>/tmp/ran\n");
        if (!pmrBisOpen()) ASSERT_EQ(0, pmrSopen());
    }

    void TearDown() override
    {
        chdir("/");
        BoardTest::TearDown();
    }

    static std::string linkTarget(const char *link)
    {
        char buffer[256] = {};
        return readlink(link, buffer, sizeof buffer - 1) < 0 ? std::string() : std::string(buffer);
    }

    static std::string fetched()
    {
        return readFile("/tmp/standins/tftp.calls");
    }
};

TEST_F(Library, ThePackageNamedByTheDriverIsPublishedRunAndTheLibrariesOpened)
{
    writeFile("/tmp/pmr/state", "libname=libpkg_a\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/libpkg_a/sub"));
    writeFile("/mnt/soft/libpkg_a/conf.rc", "M|S|/tmp/bin/quick manual|N\nA|S|/tmp/bin/quick auto|N\n");
    writeFile("/mnt/soft/libpkg_a/libone.so", "one");
    // Left by an earlier start.
    ASSERT_EQ(0, symlink("/elsewhere", "/tftpboot/libpkg"));

    ASSERT_EQ(0, dlibmgtSinit(false)) << mainLog();
    // Directory order, as the board's TFTP server lists it.
    std::string expected = "libpkg\n";
    DIR *d = opendir("/mnt/soft/libpkg_a");
    while (const dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) expected += std::string("libpkg/") + e->d_name + "\n";
    }
    closedir(d);
    EXPECT_EQ(4u, lineCount(expected));
    EXPECT_EQ(expected, readFile("/tftpboot/libbvkcom"));
    EXPECT_EQ("/current/libpkg", linkTarget("/tftpboot/libpkg"));
    // The link in "/current/" serves only the package's own lines, which all run before a mode is chosen.
    EXPECT_EQ("", linkTarget("/current/libpkg"));
    EXPECT_EQ("manual\nauto\n", readFile("/tmp/ran"));
    EXPECT_NE(nullptr, g_boardLibs.confSparse_config);
}

TEST_F(Library, APackageThatCannotBePutInPlaceStopsTheStart)
{
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/libpkg_a /mnt/soft/ab"));
    const struct {
        const char *state;
        const char *logged;
    } cases[] = {
        {"libname=ab\n", "dlibmgtSinit : No valid library-path found (Did you boot on flash ?? (Boot on ethernet no more "
                         "allowed with this version of Morvash)\n"},
        {"libname=libpkg_a\nfail=0x1180f\n", "dlibmgtSinit - ioctl: Input/output error\n"},
        {"libname=other_a\n", "dlibmgtSinit: target directory /mnt/soft/other_a does not exists !\n"},
        // The package's sub-configuration is missing.
        {"libname=libpkg_a\n", "Error opening sub-config file /current/libpkg/conf.rc : No such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state);
        writeFile("/tmp/pmr/state", c.state);
        EXPECT_EQ(-1, dlibmgtSinit(false));
        EXPECT_TRUE(logHas(c.logged)) << mainLog();
        EXPECT_EQ(nullptr, g_boardLibs.confSparse_config);
    }
    // "-nolib": only the two libraries.
    g_noLibraries = true;
    EXPECT_EQ(0, dlibmgtSinit(false));
    EXPECT_NE(nullptr, g_boardLibs.confSparse_config);
}

TEST_F(Library, ANetworkBootFetchesThePackageIntoAnEmptiedDirectory)
{
    writeFile("/tmp/pmr/state", "server_ip=10.1.2.3\n");
    // Line ends of either kind; the last line has none and keeps its last character.
    writeFile(std::string(SERVER) + "libbvkcom", "libpkg\nlibpkg/libone.so\r\nlibpkg/conf.rc");
    writeFile(std::string(SERVER) + "libpkg/libone.so", "one");
    writeFile(std::string(SERVER) + "libpkg/conf.rc", "M|S|/tmp/bin/quick from-server|N\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/libpkg_a && touch /mnt/soft/libpkg_a/stale"));

    ASSERT_EQ(0, dlibmgtSinit(true)) << mainLog();
    EXPECT_EQ("10.1.2.3 libbvkcom\n10.1.2.3 libpkg/libone.so\n10.1.2.3 libpkg/conf.rc\n", fetched());
    EXPECT_EQ("one", readFile("/mnt/soft/libpkg_a/libone.so"));
    EXPECT_FALSE(board::readFile("/mnt/soft/libpkg_a/conf.rc").empty());
    EXPECT_NE(0, access("/mnt/soft/libpkg_a/stale", F_OK));
    EXPECT_EQ("from-server\n", readFile("/tmp/ran"));
    // Nothing is published by a board that booted from another.
    EXPECT_NE(0, access("/tftpboot/libbvkcom", F_OK));
    char cwd[64];
    EXPECT_STREQ("/current", getcwd(cwd, sizeof cwd));

    writeFile("/tmp/pmr/state", "server_ip=10.1.2.3\nfail=0x11806\n");
    EXPECT_EQ(-1, dlibmgtSinit(true));
    EXPECT_TRUE(logHas("dlibmgtSdownload - ioctl: Error 5: Input/output error\n"));
    EXPECT_TRUE(logHas("dlibmgtSinit - dlibmgtSdownload: error\n"));
}

// Names from the boot server go into shell commands and paths: a list with anything but plain relative
// names is refused before anything is emptied or fetched.
TEST_F(Library, AHostileLibraryListIsRefusedWhole)
{
    writeFile("/tmp/pmr/state", "server_ip=10.1.2.3\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/libpkg_a && touch /mnt/soft/libpkg_a/keep"));
    const struct {
        std::string list, logged;
    } cases[] = {
        {"libpkg\nlibpkg/x'; touch /tmp/pwned; echo '\n", "refused file name in libbvkcom: \"libpkg/x'; touch /tmp/pwned; echo '\""},
        {"libpkg\nlibpkg/../../../etc/passwd\n", "refused file name"},
        {"libpkg\n/etc/passwd\n", "refused file name"},
        {"libpkg\nlibpkg//a\n", "refused file name"},
        {"libpkg\nlib pkg/a\n", "refused file name"},
        {"libpkg\nlibpkg/" + std::string(150, 'a') + "\n", "dlibmgtSdownload - line longer than 149 characters in libbvkcom\n"},
        {"..\nlibpkg/a\n", "refused package name in libbvkcom: \"..\""},
        {"lib/pkg\n", "refused package name"},
        {"x;reboot\n", "refused package name"},
        {std::string(63, 'p') + "\n", "refused package name"},   // no room for "_a" in the name given back
        {"", "dlibmgtSdownload - first fgets error\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.list);
        unlink("/tmp/standins/tftp.calls");
        writeFile(std::string(SERVER) + "libbvkcom", c.list);
        char name[64] = "untouched";
        EXPECT_EQ(-1, dlibmgtSdownload(name, sizeof name));
        EXPECT_STREQ("untouched", name);
        EXPECT_TRUE(logHas(c.logged)) << mainLog();
        EXPECT_EQ("10.1.2.3 libbvkcom\n", fetched());
    }
    EXPECT_NE(0, access("/tmp/pwned", F_OK));
    EXPECT_EQ(0, access("/mnt/soft/libpkg_a/keep", F_OK));

    unlink(std::string(SERVER).append("libbvkcom").c_str());
    unlink("/current/libbvkcom");
    EXPECT_EQ(-1, dlibmgtSdownload(nullptr, 0));
    EXPECT_TRUE(logHas("dlibmgtSdownload - fopen: No such file or directory\n"));
}

TEST_F(Library, TheBootListOfTheCoCpuBoardsIsExactAndReplacesAnOldOne)
{
    ASSERT_EQ(0, system("mkdir -p /current/kernel /current/ramdsk"));
    writeFile(CURRENT_KERNEL, std::string(1500000, 'k'));
    writeFile(CURRENT_RAMDISK, std::string(3000000, 'r'));
    writeFile(APPLI_BOOT_RAMDISK, "an old copy, not a link");
    writeFile(APPLI_BOOT_LIST, "old\n");
    ASSERT_EQ(0, morvISetupAppliBoot(APPLI_BOOT_LIST, APPLI_BOOT_KERNEL, APPLI_BOOT_RAMDISK)) << mainLog();
    EXPECT_EQ("/tftpboot/vmlinuz;1500000;BIN;1046016;1046016\n"
              "/tftpboot/initrd.gz;3000000;RAMDISK;5242880;0;boot;0;BOOT;0;1046016\n",
              readFile(APPLI_BOOT_LIST));
    EXPECT_EQ(CURRENT_RAMDISK, linkTarget(APPLI_BOOT_RAMDISK));
    EXPECT_EQ(CURRENT_KERNEL, linkTarget(APPLI_BOOT_KERNEL));

    // A directory in the way is not removed.
    unlink(APPLI_BOOT_KERNEL);
    ASSERT_EQ(0, mkdir(APPLI_BOOT_KERNEL, 0755));
    EXPECT_EQ(APPLI_BOOT_FAILED, morvISetupAppliBoot(APPLI_BOOT_LIST, APPLI_BOOT_KERNEL, APPLI_BOOT_RAMDISK));
    EXPECT_TRUE(logHas("morvISetupAppliBoot - symlink(/current/kernel/vmlinuz, /tftpboot/vmlinuz): Is a directory"));
}

}  // namespace

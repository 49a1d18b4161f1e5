// The items' road through the daemon itself: the library package put in place and published, an item whose
// sub-configuration inserts modules, mounts an image on the case's own loop device, uncompresses a file and
// runs programs; a shut-down removes the modules newest first and unmounts the image.
#include "daemon_fixture.h"

#include <linux/loop.h>
#include <sys/ioctl.h>

using namespace board;

namespace {

class ItemsRoad : public DaemonTest {
protected:
    static bool bound(const std::string &device)
    {
        const int fd = open(device.c_str(), O_RDONLY);
        struct loop_info info;
        const bool result = fd >= 0 && ioctl(fd, LOOP_GET_STATUS, &info) == 0;
        if (fd >= 0) close(fd);
        return result;
    }
};

TEST_F(ItemsRoad, AnItemsModulesImageAndProgramsStartWithTheBoardAndGoWithIt)
{
    const std::string device = loopDevice("loop0");
    ASSERT_FALSE(device.empty());
    // The library package named by the driver, with a line of its own.
    writeFile("/tmp/pmr/state", "dip_switch=0\nram_size=268435456\nlibname=libpkg_a\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/libpkg_a /mnt/soft/drv_a/content /tmp/standins"));
    writeFile("/mnt/soft/libpkg_a/conf.rc", "M+A|S|/bin/sh -c 'echo package >/tmp/package.ran'|N\n");
    // The item: two modules, an image, a compressed file and a oneshot.
    writeFile("/mnt/soft/drv_a/flashdisk.o", "flashdisk object\n");
    writeFile("/mnt/soft/drv_a/netdrv.o", "network driver\n");
    writeFile("/mnt/soft/drv_a/content/data", "inside the image\n");
    writeFile("/mnt/soft/drv_a/table", "uncompressed table\n");
    ASSERT_EQ(0, system("cd /mnt/soft/drv_a && gzip netdrv.o table && "
                        "mke2fs -q -F -t ext2 -d content image.ext2 1024 >/dev/null"));
    writeFile("/mnt/soft/boot/config.rc", std::string(SMALL_CONFIG) + "item=drv_a|Drivers|L|A|10000|S|\n");
    writeFile("/mnt/soft/drv_a/conf.rc", "# drivers\n"
                                          "M+A|O|/current/drv/flashdisk.o|force_ll=1|time_out:20\n"
                                          "M+A|M|/current/drv/netdrv.o.gz|irq=9\n"
                                          "M+A|L|/current/drv/image.ext2|drvimage\n"
                                          "M+A|Z|/current/drv/table.gz|/tmp\n"
                                          "M|S|/bin/sh -c 'cat /current/drvimage/data >/tmp/image.read'|F|time_out:20\n");

    ASSERT_TRUE(startDaemon({"-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_EQ("package\n", readFile("/tmp/package.ran"));
    EXPECT_EQ(0u, readFile("/tftpboot/libbvkcom").find("libpkg\nlibpkg/"));
    EXPECT_EQ("/current/drv/flashdisk.o force_ll=1 [flashdisk object]\n/tmp/netdrv.o irq=9 [network driver]\n",
              readFile("/tmp/standins/insmod.calls"));
    EXPECT_NE(std::string::npos, readFile("/proc/mounts").find("/dev/loop0 /current/drvimage ext2 ro"));
    EXPECT_EQ("inside the image\n", readFile("/tmp/image.read"));
    EXPECT_EQ("uncompressed table\n", readFile("/tmp/table"));

    ASSERT_EQ(0, kill(daemon, SIGTERM));
    ASSERT_TRUE(shutDown()) << console();
    EXPECT_EQ("netdrv\nflashdisk\n", readFile("/tmp/standins/rmmod.calls"));
    EXPECT_EQ(std::string::npos, readFile("/proc/mounts").find("/current/drvimage"));
    EXPECT_FALSE(bound(device));
    EXPECT_TRUE(logHas("loopbackVunmountAll: umount /current/drvimage OK.\n"));
}

}  // namespace

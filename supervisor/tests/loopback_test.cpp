// Loop-back images: real ext2 images (mke2fs) on the case's own loop devices, mounted read-only and
// released by item or all together.
#include "board_fixture.h"

#include "loopback.h"
#include "subconfig.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

using namespace board;

namespace {

class Loopback : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_EQ(0, system("mkdir -p /current /tmp/content && echo inside the image >/tmp/content/file"));
    }

    void TearDown() override
    {
        loopbackVunmountAll();
        for (const std::string &device : busy_) system(("losetup -d " + device).c_str());
        BoardTest::TearDown();
    }

    // An ext2 image at PATH holding /tmp/content.
    static void image(const std::string &path)
    {
        ASSERT_EQ(0, system(("mke2fs -q -F -t ext2 -d /tmp/content " + path + " 1024 >/dev/null").c_str()));
    }

    // A loop device of the case's own, bound to an image of its own, so the supervisor must pass it by.
    void busyDevice(const std::string &name)
    {
        const std::string device = loopDevice(name);
        ASSERT_FALSE(device.empty());
        image("/tmp/busy-" + name);
        ASSERT_EQ(0, system(("losetup " + device + " /tmp/busy-" + name).c_str()));
        busy_.push_back(device);
    }

    static bool bound(const std::string &device)
    {
        const int fd = open(device.c_str(), O_RDONLY);
        struct loop_info info;
        const bool result = fd >= 0 && ioctl(fd, LOOP_GET_STATUS, &info) == 0;
        if (fd >= 0) close(fd);
        return result;
    }

    // Loop devices of the case bound to an image, the busy ones left aside.
    int boundDevices() const
    {
        int count = 0;
        for (int n = 0; n < LOOP_DEVICE_COUNT; ++n) {
            const std::string node = "/dev/loop" + std::to_string(n);
            if (std::find(busy_.begin(), busy_.end(), node) == busy_.end() && bound(node)) ++count;
        }
        return count;
    }

    static std::string mountLine(const std::string &point)
    {
        std::istringstream mounts(readFile("/proc/mounts"));
        for (std::string line; std::getline(mounts, line);) {
            if (line.find(" " + point + " ") != std::string::npos) return line;
        }
        return "";
    }

    static void currentItem(int index, const char *name)
    {
        static std::string names[MAX_CONFIG_ITEMS];
        names[index] = name;
        g_itemTable.items[index].name = &names[index][0];
        g_currentItem = index;
    }

    std::vector<std::string> busy_;
};

TEST_F(Loopback, AnImageIsMountedReadOnlyThroughTheFirstFreeDeviceAndReleasedByItem)
{
    busyDevice("loop0");
    const std::string second = loopDevice("loop1");
    ASSERT_FALSE(second.empty());
    const std::string third = loopDevice("loop2");
    ASSERT_FALSE(third.empty());
    image("/tmp/app.ext2");
    image("/tmp/tools.ext2");

    writeFile("/tmp/conf.rc", "M|L|/tmp/app.ext2 extra | app\n");
    currentItem(0, "/mnt/soft/lpcm_a");
    ASSERT_EQ(0, morvIparseSubconfig("/tmp/conf.rc")) << mainLog();
    currentItem(1, "/mnt/soft/tools_b");
    ASSERT_EQ(0, loopbackSmount_loopback("/tmp/tools.ext2 | /tmp/tools", false)) << mainLog();

    const std::string app = mountLine("/current/app");
    EXPECT_EQ(0u, app.find("/dev/loop1 /current/app ext2 ro")) << app;
    EXPECT_EQ(0u, mountLine("/tmp/tools").find("/dev/loop2 /tmp/tools ext2 ro"));
    EXPECT_EQ("inside the image\n", readFile("/current/app/file"));
    EXPECT_EQ(-1, open("/current/app/new", O_WRONLY | O_CREAT, 0644));
    EXPECT_EQ(EROFS, errno);

    // Stopping one item leaves the other's image.
    EXPECT_EQ(0, loopbackSunmountByItem("lpcm_a"));
    EXPECT_EQ("", mountLine("/current/app"));
    EXPECT_FALSE(bound(second));
    EXPECT_TRUE(logHas("loopbackSunmountByItem: umount /current/app OK.\n"));
    EXPECT_NE("", mountLine("/tmp/tools"));
    EXPECT_EQ(0, loopbackSunmountByItem("lpcm_a"));

    loopbackVunmountAll();
    EXPECT_EQ("", mountLine("/tmp/tools"));
    EXPECT_FALSE(bound(third));
    EXPECT_TRUE(logHas("loopbackVunmountAll: umount /tmp/tools OK.\n"));
    EXPECT_TRUE(bound("/dev/loop0"));
}

TEST_F(Loopback, AnImageThatCannotBeMountedGivesItsDeviceBack)
{
    ASSERT_FALSE(loopDevice("loop3").empty());
    writeFile("/tmp/garbage.img", std::string(65536, 'g'));
    image("/tmp/app.ext2");
    ASSERT_EQ(0, mkdir("/tmp/point", 0755));
    const struct {
        const char *rest;
        bool crypted;
        std::string logged;
    } cases[] = {
        {"/tmp/garbage.img | /tmp/point", false, "loopbackSmount_loopback: Unable to mount loopbackfile /tmp/garbage.img on /tmp/point.\nError: "},
        {"/tmp/missing.img | /tmp/point", false, "loopbackSset_loop: error 2 (No such file or directory) opening loopback file /tmp/missing.img\n"},
        {"/tmp/app.ext2 | /tmp/no/such/point", false, "loopbackSmount_loopback: Mount point /tmp/no/such/point does not exist and can not be created.\nError: No such file or directory\n"},
        {" | /tmp/point", false, "loopbackSmount_loopback: Error scanning loopback file name in ( | /tmp/point)\n"},
        {"/tmp/app.ext2", false, "loopbackSmount_loopback: Error scanning mount point in /tmp/app.ext2\n"},
        // This kernel has no DES-CBC transfer: the image is never read as it lies.
        {"/tmp/app.ext2 | /tmp/point", true, " has no DES-CBC transfer (encryption type 18 refused)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rest);
        EXPECT_EQ(-1, loopbackSmount_loopback(c.rest, c.crypted));
        EXPECT_TRUE(logHas(c.logged)) << mainLog();
        EXPECT_EQ(0, boundDevices());
        EXPECT_EQ("", mountLine("/tmp/point"));
    }
    EXPECT_EQ(-1, loopbackSmount_loopback(nullptr, false));
    EXPECT_TRUE(logHas("loopbackSmount_loopback: no formated string\n"));
    // A crypted line fails its sub-configuration.
    writeFile("/tmp/conf.rc", "M|C|/tmp/app.ext2 | /tmp/point\n");
    EXPECT_EQ(-1, morvIparseSubconfig("/tmp/conf.rc"));
}

TEST_F(Loopback, WithoutAFreeDeviceNothingIsMounted)
{
    image("/tmp/app.ext2");
    // In one namespace, devices of earlier cases may still have nodes: bind them all.
    for (int n = 0; n < LOOP_DEVICE_COUNT; ++n) {
        const std::string node = "/dev/loop" + std::to_string(n);
        if (access(node.c_str(), F_OK) == 0 && !bound(node)) {
            image("/tmp/busy" + std::to_string(n));
            ASSERT_EQ(0, system(("losetup " + node + " /tmp/busy" + std::to_string(n)).c_str()));
            busy_.push_back(node);
        }
    }
    const bool anyNode = !busy_.empty() || access("/dev/loop0", F_OK) == 0;
    EXPECT_EQ(-1, loopbackSmount_loopback("/tmp/app.ext2 | /tmp/point", false));
    EXPECT_TRUE(logHas(anyNode ? "find_unused_loop_device: could not find any free loop device\n"
                               : "find_unused_loop_device: could not find any device /dev/loop#\n"));
    EXPECT_TRUE(logHas("loopbackSloopback_loopback: error searching a free loop device\n"));
    busyDevice("loop4");
    EXPECT_EQ(-1, loopbackSmount_loopback("/tmp/app.ext2 | /tmp/point", false));
    EXPECT_TRUE(logHas("find_unused_loop_device: could not find any free loop device\n"));
}

}  // namespace

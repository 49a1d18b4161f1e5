// The hourly and daily resource checks on small file systems of the case's own (tmpfs and loop-backed
// ext2 images), with the flash check tool and the zombie counter as stand-ins, LP_CM receiving the notices.
#include "daemon_fixture.h"

#include "driver.h"
#include "files.h"
#include "log.h"
#include "resetlog.h"
#include "resources.h"

#include <algorithm>
#include <sys/mount.h>
#include <sys/vfs.h>

using namespace board;

namespace {

constexpr long HOUR_MS = 3600 * 1000L;

class Resources : public DaemonTest {
protected:
    void TearDown() override
    {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
        DaemonTest::TearDown();
    }

    // A tmpfs of BLOCKS pages and INODES inodes, named SOURCE in /proc/mounts, at POINT.
    void smallTmpfs(const std::string &source, const std::string &point, int blocks, int inodes)
    {
        ASSERT_EQ(0, system(("mkdir -p " + point).c_str()));
        const std::string options = "size=" + std::to_string(blocks * 4) + "k,nr_inodes=" + std::to_string(inodes);
        ASSERT_EQ(0, mount(source.c_str(), point.c_str(), "tmpfs", 0, options.c_str())) << strerror(errno);
        mounts.push_back(point);
    }

    // Fills the file system at POINT until LEFT of its blocks are free, or it is full.
    static void fillTo(const std::string &point, int left)
    {
        struct statfs fs;
        ASSERT_EQ(0, statfs(point.c_str(), &fs));
        const long blocks = static_cast<long>(fs.f_bfree) - left;
        ASSERT_GE(blocks, 0);
        const std::string fill = point + "/fill" + std::to_string(fs.f_bfree);
        system(("dd if=/dev/zero of=" + fill + " bs=" + std::to_string(fs.f_bsize) + " count=" + std::to_string(blocks) +
                " 2>/dev/null").c_str());
    }

    static std::string notices() { return readFile(LPCM_RECORD); }

    static size_t noticesOf(int value)
    {
        return count(notices(), "id=15 sender=23155 receiver=23154 value=0 payload=" + std::to_string(value) + " ");
    }

    static bool fatalLine(const std::string &line) { return readFile(RESET_LOG).find(line) != std::string::npos; }

    // A partition of the main flash, "/dev/NAME": an ext2 image on the case's own loop device, full. Each
    // case names its own, as the nodes stay while the namespace lives.
    void fullMainFlash(const std::string &name)
    {
        const std::string flash = loopDevice(name);
        ASSERT_FALSE(flash.empty());
        ASSERT_EQ(0, system(("truncate -s 2M /tmp/" + name + ".img && mkfs.ext2 -q /tmp/" + name + ".img && losetup " +
                             flash + " /tmp/" + name + ".img && mkdir -p /mnt/flash/part")
                                .c_str()));
        ASSERT_EQ(0, mount(flash.c_str(), "/mnt/flash/part", "ext2", 0, nullptr)) << strerror(errno);
        mounts.push_back("/mnt/flash/part");
        fillTo("/mnt/flash/part", 0);
    }

    std::vector<std::string> mounts;
};

// 256 pages: 13 free is 5 %, 12 free is 4 %. 50 inodes: one free is 2 %.
TEST_F(Resources, ARamDiskAtFourPercentIsFatalAtFiveOnlyLogged)
{
    smallTmpfs("ramdisk", "/tmp/ram", 256, 1000);
    fillTo("/tmp/ram", 13);
    morvVcheckRamdisk("/tmp/ram");
    EXPECT_TRUE(readFile(RESET_LOG).empty());
    EXPECT_NE(std::string::npos, readFile(RESOURCES_LOG).find("device: /tmp/ram, free space: 5%, free inodes: 99%\n"))
        << readFile(RESOURCES_LOG);
    fillTo("/tmp/ram", 12);
    morvVcheckRamdisk("/tmp/ram");
    EXPECT_TRUE(fatalLine("morvash.c 3036 3 Ramdisk full.\n"));

    // The board's inode list script: the stand-in over this namespace's view of its directory.
    ASSERT_EQ(0, system("mkdir -p /tmp/sbin/upper /tmp/sbin/work && cp " BOARD_BIN "/get_inode_list.sh /tmp/sbin/upper/"));
    ASSERT_EQ(0, mount("overlay", "/usr/sbin", "overlay", 0,
                       "lowerdir=/usr/sbin,upperdir=/tmp/sbin/upper,workdir=/tmp/sbin/work")) << strerror(errno);
    mounts.insert(mounts.begin(), "/usr/sbin");
    morvVresetFatalHandler();
    smallTmpfs("ramdisk2", "/tmp/ram2", 256, 50);
    for (int i = 0; i < 48; ++i) writeFile("/tmp/ram2/f" + std::to_string(i), "");
    morvVcheckRamdisk("/tmp/ram2");
    EXPECT_TRUE(fatalLine("morvash.c 3046 3 No more inodes in ramdisk.\n")) << readFile(RESET_LOG);
    EXPECT_EQ("called\n", readFile("/tmp/standins/get_inode_list.calls"));
}

// "vodoo 100" ends well when it counts a hundred zombies or more; ending with 1 is the healthy case.
TEST_F(Resources, AHundredZombiesAreFatal)
{
    std::vector<pid_t> zombies;
    const auto makeZombies = [&](size_t n) {
        while (zombies.size() < n) {
            const pid_t pid = fork();
            if (pid == 0) _exit(0);
            zombies.push_back(pid);
        }
        return waitFor([&] { return std::all_of(zombies.begin(), zombies.end(), [](pid_t z) { return !reaped(z); }); }, PATIENCE_MS);
    };
    ASSERT_TRUE(makeZombies(5));
    morvVcheckHourly();
    EXPECT_TRUE(readFile(RESET_LOG).empty());
    ASSERT_TRUE(makeZombies(100));
    morvVcheckHourly();
    EXPECT_TRUE(fatalLine("morvash.c 3054 3 Too many zombies.\n"));
    EXPECT_NE(std::string::npos, readFile("/tmp/standins/vodoo.calls").find("100 zombies=5\n"));
    EXPECT_NE(std::string::npos, readFile("/tmp/standins/vodoo.calls").find("100 zombies=100\n"));
    EXPECT_NE(std::string::npos, readFile(RESOURCES_LOG).find("device: /, free space: "));
    int status;
    for (pid_t z : zombies) waitpid(z, &status, 0);
}

// Full devices of the main flash, its second device and the disk each get one notice per run; the
// resource log has every finding; loop devices are not looked at.
TEST_F(Resources, AFullDeviceIsNotedOncePerRun)
{
    fullMainFlash("fla1");
    if (HasFatalFailure()) return;
    smallTmpfs("/dev/flb2", "/mnt/flashext/part", 64, 10);
    for (int i = 0; i < 9; ++i) writeFile("/mnt/flashext/part/f" + std::to_string(i), "");
    smallTmpfs("/dev/loop9", "/tmp/loopfull", 16, 100);
    fillTo("/tmp/loopfull", 0);
    smallTmpfs("/dev/sdz1", "/tmp/otherfull", 16, 100);
    fillTo("/tmp/otherfull", 0);

    check_dayly();
    check_dayly();
    const std::string log = readFile(RESOURCES_LOG);
    EXPECT_EQ(2u, count(log, "SUPERVISION SPACE ALERT on device: /dev/fla1, free space: 0%\n")) << log;
    EXPECT_EQ(2u, count(log, "SUPERVISION INODES ALERT on device: /dev/flb2, free inodes: 0%\n")) << log;
    EXPECT_EQ(2u, count(log, "SUPERVISION SPACE ALERT on device: /dev/sdz1, free space: 0%\n")) << log;
    EXPECT_EQ(0u, count(log, "/dev/loop9"));
    ASSERT_TRUE(waitFor([] { return noticesOf(65536 + 377) == 1; }, PATIENCE_MS)) << notices();
    EXPECT_EQ(1u, noticesOf(377)) << notices();
    EXPECT_EQ(2u, count(notices(), "id=15 ")) << notices();
}

// The daemon itself, its main thread ended: the daily round, every 24th hourly one (each brought here by
// SIGALRM, as the board's alarm would), notes the full main flash once a day and sends its notice once;
// the zombie check does not take the daemon, whose first thread has ended, for a zombie.
TEST_F(Resources, TheDaemonNoticesAFullDeviceOnceAndIsNoZombieItself)
{
    fullMainFlash("fla2");
    if (HasFatalFailure()) return;
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"})) << readFile("/tmp/morvash.out") << mainLog();
    ASSERT_TRUE(started()) << console() << mainLog();
    for (size_t day = 1; day <= 2; ++day) {
        for (size_t hour = 1; hour <= 24; ++hour) {
            ASSERT_EQ(0, kill(daemon, SIGALRM));
            const size_t rounds = (day - 1) * 24 + hour;
            ASSERT_TRUE(waitFor([&] { return count(readFile(RESOURCES_LOG), "device: /, ") >= rounds; }, PATIENCE_MS))
                << rounds << mainLog();
        }
        ASSERT_TRUE(waitFor([&] { return count(readFile(RESOURCES_LOG), "SPACE ALERT on device: /dev/fla2, ") == day; },
                            PATIENCE_MS))
            << readFile(RESOURCES_LOG) << mainLog();
    }
    EXPECT_EQ(1u, noticesOf(377)) << notices();
    EXPECT_EQ(std::string::npos, mainLog().find("check_dayly")) << mainLog();
    const std::string zombieChecks = readFile("/tmp/standins/vodoo.calls");
    EXPECT_EQ(48u, count(zombieChecks, "100 zombies=0\n")) << zombieChecks;
}

// The flash check tool's verdict is reported once per file system; the extension flash is checked only on
// the CPU configurations that have one, and not at all when the tool cannot run.
TEST_F(Resources, FlashErrorsAreReportedOnceAndTheExtensionOnlyWhereThereIsOne)
{
    ASSERT_EQ(0, system("mkdir -p /mnt/flash/a /mnt/flashext/b /tmp/standins"));
    writeFile("/tmp/pmr/state", "cpu_code=2\n");
    ASSERT_EQ(0, pmrSopen());
    ASSERT_EQ(0, pmrSgetCpuConfig(&g_cpuConfig));
    writeFile("/tmp/standins/ckck.status", "127");
    morvVcheckFashIntegrity();
    EXPECT_TRUE(logHas("morvVcheckFashIntegrity: error executing ckck\n"));
    writeFile("/tmp/standins/ckck.status", "0");
    morvVcheckFashIntegrity();
    EXPECT_EQ("/mnt/flash/a\n/mnt/flash/a\n", readFile("/tmp/standins/ckck.calls"));

    writeFile("/tmp/pmr/state", "cpu_code=7\n");
    ASSERT_EQ(0, pmrSgetCpuConfig(&g_cpuConfig));
    writeFile("/tmp/standins/ckck.status", "3");
    unlink("/tmp/standins/ckck.calls");
    morvVcheckFashIntegrity();
    morvVcheckFashIntegrity();
    EXPECT_EQ("/mnt/flash/a\n/mnt/flashext/b\n", readFile("/tmp/standins/ckck.calls"));
    ASSERT_TRUE(waitFor([] { return noticesOf(66169) == 1; }, PATIENCE_MS)) << notices();
    EXPECT_EQ(1u, noticesOf(633));
}

// The supervision thread runs the checks on its clock: the hourly one each hour, the daily one (flash
// check, core files) every 24th round.
TEST_F(Resources, TheChecksRunOnTheSupervisorsClock)
{
    ASSERT_EQ(0, system("mkdir -p /mnt/flash/a"));
    writeFile("/current/core.12", "core");
    processVsetPeriodicChecks(morvVcheckHourly, morvVcheckDaily);
    ASSERT_TRUE(advanceUntil([] { return count(readFile(RESOURCES_LOG), "device: /, ") >= 1; }));
    EXPECT_TRUE(readFile("/tmp/standins/ckck.calls").empty());
    ASSERT_TRUE(advanceUntil([] { return !readFile("/tmp/standins/ckck.calls").empty(); }));
    EXPECT_GE(count(readFile(RESOURCES_LOG), "device: /, "), 24u);
    EXPECT_TRUE(waitFor([] { return readFile("/mnt/soft/debug/core.12") == "core"; }, PATIENCE_MS));
    EXPECT_TRUE(waitFor([] { return !filesBreadable("/current/core.12"); }, PATIENCE_MS));
    // The round under way ends before the case does: the next one finds no checks.
    processVsetPeriodicChecks(nullptr, nullptr);
    const long wakes = processIsupervisionWakes();
    EXPECT_TRUE(advanceUntil([&] { return processIsupervisionWakes() > wakes; }));
}

}  // namespace

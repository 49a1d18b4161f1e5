// Swap and back-swap: the start decision, the one-shot boot check and LP_CM's verdict, on the boot
// directory's files, with the driver and LP_CM as stand-ins.
#include "daemon_fixture.h"

#include "driver.h"
#include "files.h"
#include "log.h"
#include "resetlog.h"
#include "swap.h"

#include <climits>

using namespace board;

namespace {

class Swap : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        if (HasFatalFailure()) return;
        writeFile(MAIN_CONFIG, "old\n");
        writeFile(NEW_CONFIG, "new\n");
        board("ram_size=268435456\nvariant=0x92\nboot_device=0\noneshot_state=201\nswap_flag=156\n");
    }

    // The board's driver answers with STATE; the start sequence's copy of its CPU record is read again.
    static void board(const std::string &state)
    {
        writeFile("/tmp/pmr/state", state);
        if (!pmrBisOpen()) ASSERT_EQ(0, pmrSopen());
        ASSERT_EQ(0, pmrSgetCpuConfig(&g_cpuConfig));
    }

    static std::string decide()
    {
        char path[PATH_MAX] = "";
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, check_current_state(path, sizeof path));
        out = testing::internal::GetCapturedStdout();
        return path;
    }

    static std::string link(const char *name)
    {
        char target[PATH_MAX] = "";
        return readlink(name, target, sizeof target - 1) > 0 ? target : "";
    }

    static bool fatalLine(const std::string &line) { return readFile(RESET_LOG).find(line) != std::string::npos; }

    static std::string out;
};

std::string Swap::out;

TEST_F(Swap, ANewConfigurationIsTriedAndPutInForceOnceLpcmConfirms)
{
    writeFile(ONESHOT_BOOT_CONFIG, "one-shot\n");
    writeFile("/mnt/soft/boot/swap_ind.par", "3 | R9.2\n");
    EXPECT_EQ(SWAP_CONFIG, decide());
    EXPECT_NE(std::string::npos, out.find("\t* SWAP IN PROGRESS ! *\n"));
    EXPECT_NE(std::string::npos, out.find("Morvash wrote in /tmp/reset_info file SWAP_R9.2\n"));
    EXPECT_EQ("SWAP_R9.2", readFile(RESET_INFO));
    EXPECT_EQ("new\n", readFile(SWAP_CONFIG));
    EXPECT_EQ(SWAP_CONFIG, link("/current/config.rc"));
    EXPECT_EQ(MAIN_CONFIG, link("/current/configrc.alt"));
    EXPECT_TRUE(g_swapInProgress);
    EXPECT_TRUE(g_oneshotInUse);
    EXPECT_NE(std::string::npos, readFile("/tmp/pmr/requests").find("GETSTAT_ONESHOT\nRESET_SWAPFLAG\n"));

    g_swapStatus = 0;
    morvVpostSwapSemaphore();
    valid_swap();
    EXPECT_EQ("new\n", readFile(MAIN_CONFIG));
    EXPECT_EQ("old\n", readFile(ALT_CONFIG));
    EXPECT_EQ("one-shot\n", readFile(BOOT_CONFIG));
    EXPECT_EQ("", readFile(ONESHOT_BOOT_CONFIG));
    EXPECT_EQ("boot/config.rc", link("/current/config.rc"));
    EXPECT_EQ(ALT_CONFIG, link("/current/configrc.alt"));
    EXPECT_TRUE(waitFor([] { return readFile(LPCM_RECORD).find("id=9 sender=23155 receiver=23154 value=0") != std::string::npos; }, PATIENCE_MS))
        << readFile(LPCM_RECORD);
    EXPECT_FALSE(g_swapInProgress);
    EXPECT_FALSE(filesBreadable(BACKSWAP_MARK));
    EXPECT_TRUE(readFile(RESET_LOG).empty());
}

// The daemon end to end: it starts the new configuration's items, LP_CM confirms over the socket (before
// the wait has even begun, here), and the new software is in force when the final banner comes.
TEST_F(Swap, TheDaemonRunsTheNewSoftwareOnceLpcmHasConfirmedIt)
{
    writeFile(MAIN_CONFIG, "version=2\nrelease=R9.0\n");
    writeFile(NEW_CONFIG, SMALL_CONFIG);
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(consoleHas("\t* SWAP IN PROGRESS ! *\n", PATIENCE_MS)) << console() << mainLog();
    const std::string confirm = BOARD_BIN "/lp_cm send 9 --value 0 >/dev/null";
    ASSERT_TRUE(waitFor([&] { return system(confirm.c_str()) == 0; }, PATIENCE_MS));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_EQ(SMALL_CONFIG, readFile(MAIN_CONFIG));
    EXPECT_EQ("version=2\nrelease=R9.0\n", readFile(ALT_CONFIG));
    EXPECT_NE(std::string::npos, console().find("\t* Running version R9.1 *\n"));
    EXPECT_TRUE(waitFor([] { return readFile(LPCM_RECORD).find("id=9 ") != std::string::npos; }, PATIENCE_MS)) << readFile(LPCM_RECORD);
    EXPECT_TRUE(waitFor([] { return system("pgrep -fx '/bin/sleep 200' > /dev/null") == 0; }, PATIENCE_MS));
    EXPECT_FALSE(filesBreadable(BACKSWAP_MARK));
}

// LP_CM refuses over the socket: with "-noreboot" the daemon records the error, marks the back-swap and
// goes on, the configuration in force untouched.
TEST_F(Swap, TheDaemonBacksOutWhenLpcmRefuses)
{
    writeFile(MAIN_CONFIG, "version=2\nrelease=R9.0\n");
    writeFile(NEW_CONFIG, SMALL_CONFIG);
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios", "-noreboot"}));
    const std::string refuse = BOARD_BIN "/lp_cm send 9 --value 1 >/dev/null";
    ASSERT_TRUE(waitFor([&] { return system(refuse.c_str()) == 0; }, PATIENCE_MS));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_TRUE(logHas("valid_swap: LP_CM_SWAP_KO -> backswapping\n"));
    EXPECT_TRUE(fatalLine("morvash.c 971 3 LP_CM_SWAP_KO -> backswapping\n"));
    EXPECT_EQ("version=2\nrelease=R9.0\n", readFile(MAIN_CONFIG));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
    EXPECT_FALSE(filesBreadable(SWAP_CONFIG));
    EXPECT_EQ(std::string::npos, readFile(LPCM_RECORD).find("id=9 "));
}

// The wait lasts its whole 2400 s of the clock; then the fatal handler backs the swap out.
TEST_F(Swap, WithoutAVerdictTheTryEndsAfterFortyMinutes)
{
    decide();
    {
        // Held from here: the clock moves only to the wait's deadline, however late the thread sees it.
        const ClockHeld held;
        const long long before = clockMs();
        ASSERT_TRUE(whileAdvancing(valid_swap));
        EXPECT_EQ(2400 * 1000LL, clockMs() - before);
    }
    EXPECT_TRUE(logHas("valid_swap: Swap not confirmed by LP_CM\n"));
    EXPECT_TRUE(fatalLine("morvash.c 963 3 Swap not confirmed by LP_CM\n")) << readFile(RESET_LOG);
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
    EXPECT_FALSE(filesBreadable(SWAP_CONFIG));
    EXPECT_EQ("old\n", readFile(MAIN_CONFIG));
}

TEST_F(Swap, LpcmsRefusalLeavesTheConfigurationAndMarksTheBackswap)
{
    decide();
    g_swapStatus = SWAP_STATUS_KO;
    morvVpostSwapSemaphore();
    valid_swap();
    EXPECT_TRUE(logHas("valid_swap: LP_CM_SWAP_KO -> backswapping\n"));
    EXPECT_TRUE(fatalLine("morvash.c 971 3 LP_CM_SWAP_KO -> backswapping\n"));
    EXPECT_EQ("old\n", readFile(MAIN_CONFIG));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
    EXPECT_FALSE(filesBreadable(SWAP_CONFIG));
    EXPECT_EQ(std::string::npos, readFile(LPCM_RECORD).find("id=9"));
}

// The second rename fails after the first went through: the old configuration is put back, so the board
// still has a "config.rc" once the back-swap has removed the tried one.
TEST_F(Swap, AConfirmationThatFailsHalfWayLeavesTheOldConfigurationInPlace)
{
    decide();
    ASSERT_EQ(0, unlink(SWAP_CONFIG));
    g_swapStatus = 0;
    morvVpostSwapSemaphore();
    valid_swap();
    EXPECT_TRUE(fatalLine("morvash.c 984 3 Error validating swap\n"));
    EXPECT_EQ("old\n", readFile(MAIN_CONFIG));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
}

TEST_F(Swap, ABoardWithTooLittleRamRefusesTheSwapAndStartsNormally)
{
    board("ram_size=134217728\nvariant=0x92\n");
    EXPECT_EQ(MAIN_CONFIG, decide());
    EXPECT_TRUE(logHas("Not enough RAM to run this software version (128 Mb instead of 256 Mb)\n"));
    EXPECT_TRUE(logHas("==> Swap failed, Backswaping !!!\n"));
    EXPECT_NE(std::string::npos, out.find("\t* ERROR: BACKSWAP IN PROGRESS ! *\n"));
    EXPECT_TRUE(fatalLine("morvash.c 1113 3 Not enough RAM -> backswapping\n"));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
    EXPECT_FALSE(filesBreadable(NEW_CONFIG));
    EXPECT_FALSE(g_swapInProgress);
    EXPECT_EQ(MAIN_CONFIG, link("/current/config.rc"));

    // 64 MB are enough for any other variant.
    morvVresetState();
    g_rebootOnFatal = false;
    writeFile(NEW_CONFIG, "new\n");
    board("ram_size=67108864\nvariant=0x91\noneshot_state=201\nswap_flag=156\n");
    EXPECT_EQ(SWAP_CONFIG, decide());
}

TEST_F(Swap, AStaleTryIsBackedOutAtTheNextStart)
{
    ASSERT_EQ(0, rename(NEW_CONFIG, SWAP_CONFIG));
    writeFile(WARM_MARK, "");
    EXPECT_EQ(MAIN_CONFIG, decide());
    EXPECT_TRUE(logHas("File /mnt/soft/boot/swap.cnf exists; A previous swap has failed\n"));
    EXPECT_NE(std::string::npos, out.find("\t* ERROR: BACKSWAP IN PROGRESS ! *\n"));
    EXPECT_FALSE(filesBreadable(SWAP_CONFIG));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
    EXPECT_EQ("WARM", readFile(RESET_INFO));
    EXPECT_EQ(ALT_CONFIG, link("/current/configrc.alt"));
    EXPECT_TRUE(readFile(RESET_LOG).empty());

    // The start after that runs the old software and says so again.
    morvVresetState();
    EXPECT_EQ(MAIN_CONFIG, decide());
    EXPECT_NE(std::string::npos, out.find("\t* ERROR: BACKSWAP IN PROGRESS ! *\n"));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
}

// The swap text is written outside this program: it is cut to its field.
TEST_F(Swap, TheSwapTextIsBounded)
{
    writeFile("/mnt/soft/boot/swap_ind.par", "1 | " + std::string(300, 'v') + "\n");
    decide();
    EXPECT_EQ("SWAP_" + std::string(63, 'v'), readFile(RESET_INFO));
}

// The one-shot boot state by boot device and swap flag: whether the try may go on, whether the flag is
// cleared, and whether the one-shot boot counts as in use.
TEST_F(Swap, TheOneShotStateIsReadForTheBootDevice)
{
    const struct {
        int device, flag, state;
        int result;
        bool cleared, oneshot;
        const char *log;
    } cases[] = {
        {0, 156, 201, 0, true, true, nullptr},
        {0, 156, 141, -1, true, false, "Oneshot start failed 1... backswapping\n"},
        {0, 88, 5, 0, true, false, nullptr},
        {0, 3, 5, 0, false, false, nullptr},
        {1, 88, 141, 0, true, true, nullptr},
        {1, 88, 201, -1, true, false, "Oneshot start failed 2... backswapping\n"},
        {1, 156, 5, 0, true, false, nullptr},
        {7, 3, 201, 0, true, true, "check_kernel_and_ramdisk_swap: unknown boot device 7, assuming NAND FLASH\n"},
        {7, 3, 141, -1, true, false, "Oneshot start failed 3... backswapping\n"},
    };
    for (const auto &c : cases) {
        const std::string what = std::to_string(c.device) + "/" + std::to_string(c.flag) + "/" + std::to_string(c.state);
        board("boot_device=" + std::to_string(c.device) + "\nswap_flag=" + std::to_string(c.flag) +
              "\noneshot_state=" + std::to_string(c.state) + "\n");
        unlink("/tmp/pmr/requests");
        unlink(MAIN_LOG);
        g_oneshotInUse = false;
        EXPECT_EQ(c.result, check_kernel_and_ramdisk_swap()) << what;
        EXPECT_EQ(c.cleared, readFile("/tmp/pmr/requests").find("RESET_SWAPFLAG") != std::string::npos) << what;
        EXPECT_EQ(c.oneshot, g_oneshotInUse) << what;
        if (c.log) EXPECT_TRUE(logHas(c.log)) << what << mainLog();
    }
    writeFile("/tmp/pmr/state", "fail=0x1180c\n");
    EXPECT_EQ(-1, check_kernel_and_ramdisk_swap());
    EXPECT_TRUE(fatalLine("morvash.c 2282 3 ioctl error on pmr device\n"));
}

}  // namespace

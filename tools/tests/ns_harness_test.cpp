// The board-side harness: programs run under a stand-in init in their own PID and mount namespaces,
// signals to process 1 reach only the stand-in, and board directories mounted inside stay inside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome {
    int status;
    std::string out;
};

class NsHarness : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, geteuid()) << "namespace tests need root";
        char tmpl[] = "/tmp/ns-harness.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // Runs board-ns.sh with OPTIONS and a shell SCRIPT; SCRIPT's output goes to a file read back here.
    Outcome board(const std::string &options, const std::string &script)
    {
        const std::string out = dir_ + "/out";
        const std::string cmd = std::string(BOARD_NS) + " --init " + STANDIN_INIT + " " + options +
                                " -- sh -c '" + script + "' >" + out + " 2>&1";
        Outcome r{std::system(cmd.c_str()), read(out)};
        r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
        return r;
    }
    static std::string read(const std::string &path)
    {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static bool exists(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    std::string dir_;
};

TEST_F(NsHarness, SigintToProcessOneReachesTheStandInOnly)
{
    const std::string record = dir_ + "/signals";
    Outcome r = board("--record " + record,
                      "cat /proc/1/comm; echo parent $PPID; readlink /proc/self/ns/pid; kill -INT 1; sleep 0.2");
    ASSERT_EQ(0, r.status) << r.out;
    char host_ns[64] = {};
    ASSERT_GT(readlink("/proc/self/ns/pid", host_ns, sizeof host_ns - 1), 0);
    EXPECT_EQ("standin_init\nparent 1\n", r.out.substr(0, r.out.find("pid:"))) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(host_ns)) << "the command ran in the host's PID namespace";
    EXPECT_EQ("SIGINT\n", read(record));
}

TEST_F(NsHarness, CommandStatusPassesThrough)
{
    EXPECT_EQ(7, board("", "exit 7").status);
}

TEST_F(NsHarness, BoardDirectoriesAreTmpfsInsideAndInvisibleOutside)
{
    const std::string probe = "/var/log/ns-harness-probe-" + std::to_string(getpid());
    ASSERT_FALSE(exists("/current"));
    Outcome r = board("--tmpfs /var/log --tmpfs /current --tmpfs /mnt/soft",
                  "echo x >" + probe + " && echo y >/current/f && echo z >/mnt/soft/g && "
                  "stat -f -c %T /var/log /current /mnt/soft && cat " + probe + " /current/f /mnt/soft/g");
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("tmpfs\ntmpfs\ntmpfs\nx\ny\nz\n", r.out);
    EXPECT_FALSE(exists(probe));
    EXPECT_FALSE(exists("/current"));
    EXPECT_FALSE(exists("/mnt/soft"));
}

TEST_F(NsHarness, ATmpfsOverTheWorkingTreeKeepsTheTreeVisible)
{
    // The test's own directory lies under /tmp, as a clone of the project may.
    std::ofstream(dir_ + "/probe") << "kept\n";
    const std::string sibling = dir_ + "-sibling";
    std::ofstream(sibling) << "host\n";
    const std::string out = dir_ + "/out";
    const std::string cmd = "cd " + dir_ + " && " + BOARD_NS + " --init " + STANDIN_INIT +
                            " --tmpfs /tmp -- sh -c 'cat probe; ls " + sibling + "' >" + out + " 2>&1";
    const int status = std::system(cmd.c_str());
    unlink(sibling.c_str());
    EXPECT_NE(0, status) << "the host's /tmp showed through the board tmpfs";
    const std::string seen = read(out);
    EXPECT_EQ(0u, seen.find("kept\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("No such file")) << seen;
}

TEST_F(NsHarness, RefusesToCreateABoardDirectoryInsideAHostDirectory)
{
    Outcome r = board("--tmpfs /usr/share/ns-harness-board-dir", "true");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.out.find("belongs to the host")) << r.out;
    EXPECT_FALSE(exists("/usr/share/ns-harness-board-dir"));
}

TEST_F(NsHarness, BashStandsInForShWhenAsked)
{
    Outcome r = board("--bash-sh", "echo -e \"a\\tb\"");
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("a\tb\n", r.out);
}

TEST_F(NsHarness, StayWaitsForADaemonUntilSigint)
{
    const std::string record = dir_ + "/signals";
    // The command forks a daemon and ends at once; the daemon later asks process 1 to reboot.
    Outcome r = board("--stay --record " + record, "(sleep 0.3; echo daemon; kill -INT 1; sleep 30) & exit 0");
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("daemon\n", r.out);
    EXPECT_EQ("SIGINT\n", read(record));
}

TEST_F(NsHarness, TimeoutEndsEverything)
{
    Outcome r = board("--timeout 1", "sleep 30");
    EXPECT_EQ(124, r.status) << r.out;
}

TEST_F(NsHarness, DevIsTheNamespacesOwnWithTheConsoleAndSerialLineAsFiles)
{
    Outcome r = board("", "echo boot >/dev/console; echo halt >/dev/ttyS0; cat /dev/console /dev/ttyS0; "
                          "stat -c %F /dev/console /dev/ttyS0 /dev/null; ls /dev | grep -c loop; "
                          "head -c 4 /dev/zero | wc -c");
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("boot\nhalt\nregular file\nregular file\ncharacter special file\n0\n4\n", r.out);
}

TEST_F(NsHarness, ALoopDeviceIsHandedOutBoundByTheTestAndRemovedAfterwards)
{
    Outcome r = board("--tmpfs /tmp",
                      "$BOARD_LOOP /dev/flash1 && truncate -s 4M /tmp/image && mkfs.ext2 -q /tmp/image && "
                      "losetup /dev/flash1 /tmp/image && mkdir /tmp/m && mount -o ro /dev/flash1 /tmp/m && "
                      "grep -c \"^/dev/flash1 /tmp/m ext2 ro\" /proc/mounts && "
                      "sed -n s/^DEVNAME=//p /sys/dev/block/$(stat -c %Hr:%Lr /dev/flash1)/uevent");
    ASSERT_EQ(0, r.status) << r.out;
    const size_t name = r.out.find("loop");
    ASSERT_NE(std::string::npos, name) << r.out;
    EXPECT_EQ(0u, r.out.find("1\n")) << r.out;
    const std::string device = r.out.substr(name, r.out.find('\n', name) - name);
    EXPECT_FALSE(exists("/sys/block/" + device)) << device << " was left behind";
}

TEST_F(NsHarness, NetworkNamespaceHasOnlyLoopback)
{
    const std::string out = dir_ + "/links";
    const std::string cmd = std::string(NETNS_RUN) + " ip -o link show >" + out;
    ASSERT_EQ(0, std::system(cmd.c_str()));
    const std::string links = read(out);
    EXPECT_NE(std::string::npos, links.find(": lo:")) << links;
    EXPECT_NE(std::string::npos, links.find("UP")) << links;
    EXPECT_EQ(1, std::count(links.begin(), links.end(), '\n')) << links;

    Outcome r = board("--net", "ip -o link show | wc -l");
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ("1\n", r.out);
}

}  // namespace

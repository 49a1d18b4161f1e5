// The daemon end to end: its command line, the start sequence to its final banner, the message server,
// the watchdog and LEDs, and the ordered shut-down with process 1 asked to restart the board.
#include "daemon_fixture.h"

#include "resetlog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace board;

namespace {

const char *HELP =
    "Following options are recognized:\n"
    "\t-help :\t\tdisplay this help and exit.\n"
    "\t-noreboot :\tdo not reboot the system on error.\n"
    "\t-wd :\t\tstart the hard watchdog and exit.\n"
    "\t-nowd :\t\tstop the hard watchdog and exit.\n"
    "\t-nobios :\tdo not start the bios manager.\n"
    "\t-nolib :\tdo not try to put in place the brenvik libraries.\n";

const char *STOP_STEPS[] = {"Stopping server.\n", "Stopping all processes.\n",
                            "Running shutdown script (/current/stop.sh).\n", "Unloading all libraries.\n",
                            "Removing all modules.\n", "Unmounting all loopbacks.\n", "Shutdown of Morvash ok.\n"};

using Options = DaemonTest;
using StartSequence = DaemonTest;
using Messages = DaemonTest;
using Shutdown = DaemonTest;

std::string statusField(pid_t pid, const std::string &name)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(name + ":\t");
    return at == std::string::npos ? "" : status.substr(at + name.size() + 2, status.find('\n', at) - at - name.size() - 2);
}

// Scheduling policy and real-time priority of every thread of PID, as "policy/priority".
std::vector<std::string> threadSchedules(pid_t pid)
{
    std::vector<std::string> schedules;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *d = opendir(tasks.c_str())) {
        while (const dirent *t = readdir(d)) {
            if (t->d_name[0] == '.') continue;
            const std::string stat = readFile(tasks + "/" + t->d_name + "/stat");
            std::istringstream fields(stat.substr(stat.rfind(')') + 2));
            std::vector<std::string> f;
            for (std::string w; fields >> w;) f.push_back(w);
            // Fields 40 (rt_priority) and 41 (policy), counted from 1 with pid and name first.
            if (f.size() > 38) schedules.push_back(f[38] + "/" + f[37]);
        }
        closedir(d);
    }
    return schedules;
}

// The working directory of PID's threads; its main thread has ended.
std::string workingDirectory(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::string cwd;
    if (DIR *d = opendir(tasks.c_str())) {
        while (const dirent *t = readdir(d)) {
            char target[256] = "";
            if (t->d_name[0] != '.' && readlink((tasks + "/" + t->d_name + "/cwd").c_str(), target, sizeof target - 1) > 0)
                cwd = target;
        }
        closedir(d);
    }
    return cwd;
}

TEST_F(Options, HelpListsTheOptionsAndExitsAtOnce)
{
    EXPECT_EQ(0, runMorvash({"-nolib", "-help"}));
    EXPECT_EQ(HELP, readFile("/tmp/morvash.out"));
    EXPECT_EQ(std::string::npos, readFile("/tmp/pmr/requests").find("SET_PID"));
}

TEST_F(Options, UnknownWordsAreReportedAndStoppingTheWatchdogWinsOverStartingIt)
{
    EXPECT_EQ(0, runMorvash({"-wd", "-bogus", "-nowd"}));
    EXPECT_EQ("Option -bogus not recognized (ignored)n\n", readFile("/tmp/morvash.out"));
    ASSERT_TRUE(waitFor([] { return readFile("/tmp/pmr/requests").find("WATCHDOG_STOP") != std::string::npos; }, PATIENCE_MS));
    const std::string requests = readFile("/tmp/pmr/requests");
    EXPECT_EQ(std::string::npos, requests.find("WATCHDOG_START"));
    EXPECT_EQ(std::string::npos, requests.find("SET_PID"));
}

TEST_F(StartSequence, ASmallBoardRunsToItsFinalBannerAsADaemon)
{
    writeFile("/tmp/pmr/state", "dip_switch=0\nreset_status=8\n");
    ASSERT_TRUE(startDaemon()) << readFile("/tmp/morvash.out") << mainLog();
    ASSERT_TRUE(started()) << console() << mainLog();

    const std::string out = console();
    EXPECT_NE(std::string::npos, out.find("\t* Running version R9.1 *\n"));
    EXPECT_NE(std::string::npos, out.find("Morvash wrote in /tmp/reset_info file COLD\n"));
    EXPECT_EQ(std::string::npos, out.find("One binary failed"));
    EXPECT_EQ("COLD", readFile("/tmp/reset_info"));
    const std::string log = mainLog();
    EXPECT_NE(std::string::npos, log.find("========================>>>  START OF MORVASH  <<<========================\n"));
    EXPECT_NE(std::string::npos, log.find("======== Starting version R9.1 ========\n"));
    EXPECT_NE(std::string::npos, log.find("serverVthSckServer] starting SckServer thread...\n"));
    EXPECT_EQ(1u, count(readFile("/tmp/bios_mgt.log"), "started"));

    // The item with 'A' in its start text runs, linked in "/current/"; the other is linked only.
    char link[128] = "";
    readlink("/current/lpcm", link, sizeof link - 1);
    EXPECT_STREQ("/mnt/soft/lpcm_a", link);
    EXPECT_TRUE(waitFor([] { return system("pgrep -fx '/bin/sleep 200' > /dev/null") == 0; }, PATIENCE_MS));
    EXPECT_NE(0, system("pgrep -fx '/bin/sleep 201' > /dev/null"));

    // A daemon of its own session under process 1, with the board's limits.
    EXPECT_EQ(daemon, getsid(daemon));
    EXPECT_EQ("1", statusField(daemon, "PPid"));
    EXPECT_NE(std::string::npos, readFile("/proc/" + std::to_string(daemon) + "/limits").find("Max core file size        131072               131072"));
    EXPECT_EQ("/current", workingDirectory(daemon));
    const auto schedules = threadSchedules(daemon);
    EXPECT_EQ(1, std::count(schedules.begin(), schedules.end(), "1/99")) << ::testing::PrintToString(schedules);

    // The watchdog reset of the last start is recorded and acknowledged.
    EXPECT_NE(std::string::npos, readFile(RESET_LOG_FILE).find(" morvash.c 318 3 Corvo Watchdog Timer time-out\n"));
    EXPECT_NE(std::string::npos, readFile("/tmp/pmr/requests").find("ACK_RESET_STATUS 8\n"));
    char target[128] = "";
    readlink("/current/config.rc", target, sizeof target - 1);
    EXPECT_STREQ("/mnt/soft/boot/config.rc", target);

    // The normal pattern: the LED on for 1 s, off for 1 s; the watchdog fed every round.
    ASSERT_TRUE(waitFor([] { return leds().size() >= 3; }, PATIENCE_MS));
    const std::vector<Led> e = leds();
    for (size_t i = 0; i + 1 < e.size(); ++i) {
        EXPECT_NE(e[i].on, e[i + 1].on);
        EXPECT_NEAR(1000, e[i + 1].at - e[i].at, 300);
    }
    EXPECT_GE(refreshes(), 1u);
}

TEST_F(StartSequence, AMissingItemIsAWarningUnlessItsAbsenceIsFatal)
{
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/gone_a /mnt/soft/needed_a"));
    writeFile("/mnt/soft/boot/config.rc", std::string(SMALL_CONFIG) +
                                               "item=gone_a|Gone|L|A|00001|S|\n"
                                               "item=needed_a|Needed|L|A|10000|S|\n");
    writeFile("/mnt/soft/lpcm_a/conf.rc", "M|S|/bin/false|N|time_out:5\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios", "-noreboot"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_TRUE(logHas("Could not start item gone (not found)\n"));
    EXPECT_EQ("\n\t*** WARNING: Item \"gone\" can not be started because it was not found on the system ***\n",
              readFile("/var/log/start_info.log"));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG_FILE).find(" morvash.c 533 3 Error parsing subconfig file\n"));
    EXPECT_EQ(1u, lineCount(readFile(RESET_LOG_FILE)));
    EXPECT_NE(std::string::npos, console().find("\t*    WARNING: One binary failed (See log file)    *\n"));
}

TEST_F(StartSequence, ALibraryPackageThatCannotBeFoundResetsTheBoard)
{
    ASSERT_TRUE(startDaemon({"-nobios"}));
    ASSERT_TRUE(shutDown()) << console() << mainLog();
    EXPECT_NE(std::string::npos, readFile(RESET_LOG_FILE).find(" morvash.c 348 3 Error loading libraries\n"));
    EXPECT_NE(std::string::npos, console().find("\t*               An error occured !!!                *\n"));
    EXPECT_EQ(std::string::npos, console().find("started all binaries"));
}

TEST_F(StartSequence, ABadConfigurationIsRecordedAndWithNorebootTheStartGoesOn)
{
    writeFile("/mnt/soft/boot/config.rc", "colour=blue\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios", "-noreboot"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_TRUE(logHas("Error parsing main config.rc file: "));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG_FILE).find(" morvash.c 377 3 Error in config.rc\n"));
    // The banner holds the log's last 4 lines alone: the core copies' complaints come after it.
    const std::string out = console();
    const size_t tail = out.find("\t  END OF LOG :\n");
    ASSERT_NE(std::string::npos, tail) << out;
    const size_t stars = out.find("\t*****************************************************\n\n", tail);
    ASSERT_NE(std::string::npos, stars) << out;
    EXPECT_EQ(5u, lineCount(out.substr(tail, stars - tail))) << out;
    EXPECT_EQ(std::string::npos, readFile(INIT_SIGNALS).find("SIGINT"));
    EXPECT_EQ("colour=blue\n", readFile("/mnt/soft/boot/config.rc")) << "a file that was not read is not rewritten";
}

TEST_F(StartSequence, ANetworkBootStartsTheDownloadClientAndNoBiosManagerWithNobios)
{
    writeFile("/tmp/pmr/state", "dip_switch=14\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_EQ("IA\n", readFile("/tmp/downc.log"));
    EXPECT_EQ(std::string::npos, console().find("Running version"));
    EXPECT_EQ("", readFile("/tmp/bios_mgt.log"));
}

TEST_F(StartSequence, AFailedBiosCopyEndsTheStartAndBlinksFiveTimes)
{
    setenv("BIOS_MGT_MESSAGES", "13:copying;11:flash write failed", 1);
    ASSERT_TRUE(startDaemon());
    EXPECT_TRUE(logHas("serverISckBiosStatus - SCKMSG_COPY_BIOS_MSG: copying\n", PATIENCE_MS));
    EXPECT_TRUE(logHas("serverISckBiosStatus - SCKMSG_COPY_BIOS_KO: flash write failed\n", PATIENCE_MS));
    EXPECT_TRUE(waitFor([] { return hasGroup(5); }, PATIENCE_MS)) << ::testing::PrintToString(blinkGroups());
    EXPECT_EQ(std::string::npos, console().find("started all binaries"));
    EXPECT_EQ(std::string::npos, readFile(INIT_SIGNALS).find("SIGINT"));
}

TEST_F(StartSequence, ACopiedBiosResetsTheBoardBeforeTheItems)
{
    setenv("BIOS_MGT_MESSAGES", "10:bios copied", 1);
    ASSERT_TRUE(startDaemon());
    ASSERT_TRUE(shutDown()) << console() << mainLog();
    EXPECT_NE(std::string::npos, console().find("\t* Reset after swap of BIOS ! *\n"));
    EXPECT_EQ(std::string::npos, console().find("started all binaries"));
}

TEST_F(Messages, EachIdentifierIsAnsweredAsItsSenderAllows)
{
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    SckMessage reply;

    // Message 1 starts a process from its record; the same session again is refused.
    const SckMessage start = startRequest("SLEEPER", "/bin/sleep", "300", FAIL_IGNORE);
    ASSERT_TRUE(ask(start, &reply));
    EXPECT_EQ(0, reply.result);
    EXPECT_EQ(SERVER_PORT, reply.sender);
    EXPECT_EQ(4242, reply.receiver);
    SckMessage sleeper = message(SCKMSG_GET_PROCESS_PID, 4242);
    putText(&sleeper, sckpayload::SESSION, "SLEEPER");
    const pid_t pid = runningSession(sleeper);
    ASSERT_GT(pid, 0) << mainLog();
    ASSERT_TRUE(ask(start, &reply));
    EXPECT_EQ(SCK_ALREADY_RUNNING, reply.result);
    EXPECT_TRUE(logHas("serverISckStartProcess] WARNING: process [SessionID=SLEEPER] is already running\n"));
    // The child runs the program once its exec is through.
    EXPECT_TRUE(waitFor([&] { return statusField(pid, "Name") == "sleep"; }, PATIENCE_MS)) << statusField(pid, "Name");
    SckMessage nobody = sleeper;
    putText(&nobody, sckpayload::SESSION, "NOBODY");

    const struct {
        const char *what;
        SckMessage request;
        int32_t result;
        const char *log;
    } cases[] = {
        {"session exists", [&] { SckMessage m = sleeper; m.id = SCKMSG_SESSION_EXISTS; return m; }(), 0, nullptr},
        {"unknown session", [&] { SckMessage m = nobody; m.id = SCKMSG_SESSION_EXISTS; return m; }(),
         SCK_NO_SUCH_SESSION, nullptr},
        {"pid of unknown", nobody, SCK_NO_SUCH_SESSION,
         "serverISckGetProcessPid] WARNING: process [SessionID=NOBODY] does not exist\n"},
        {"stop unknown", [&] { SckMessage m = nobody; m.id = SCKMSG_STOP_PROCESS; return m; }(), SCK_NO_SUCH_SESSION,
         "serverISckStopProcess] WARNING: process [SessionID=NOBODY] does not exist (or not supervised)\n"},
        {"signal unknown", [&] { SckMessage m = nobody; m.id = SCKMSG_SIG_PROCESS; return m; }(), SCK_NO_SUCH_SESSION,
         "serverISckSigProcess WARNING: process [SessionID=NOBODY] does not exist\n"},
        {"alive of unknown", [&] { SckMessage m = message(SCKMSG_PROCESS_IS_ALIVE, 4242); m.value = 99999; return m; }(),
         SCK_REFUSED, "serverISckProcessIsAlive: Process ID 99999 not found ! (Message ignored)\n"},
        {"phone started, not LP_CM", [&] { SckMessage m = message(SCKMSG_PHONE_BIN_STARTED, 4242); m.value = pid; return m; }(),
         SCK_REFUSED, "serverISckPhoneBinStarted: sender is not the phone binary ! (Message ignored) (Sender ID is 4242, LP_CM ID is 23154)\n"},
        {"phone started, unknown pid", [&] { SckMessage m = message(SCKMSG_PHONE_BIN_STARTED); m.value = 99999; return m; }(),
         SCK_REFUSED, "serverISckPhoneBinStarted: Entry for process PID 99999 not found\n\n"},
        {"phone started", [&] { SckMessage m = message(SCKMSG_PHONE_BIN_STARTED); m.value = pid; return m; }(), -1, nullptr},
        {"swap status, not LP_CM", message(SCKMSG_SWAP_STATUS, 4242), SCK_REFUSED,
         "serverISckSwapStatus: sender is not the phone binary ! (Message ignored)\n"},
        {"swap status", message(SCKMSG_SWAP_STATUS), 0, nullptr},
        {"BIOS copied, not BIOS_MGT", message(SCKMSG_COPY_BIOS_OK), SCK_REFUSED,
         "serverISckBiosStatus: sender is not BIOS_MGT ! (Message ignored)\n"},
        {"BIOS failed, not BIOS_MGT", message(SCKMSG_COPY_BIOS_KO), SCK_REFUSED, nullptr},
        {"BIOS error, not BIOS_MGT", message(SCKMSG_COPY_BIOS_ERROR), SCK_REFUSED, nullptr},
        {"BIOS note", [&] { SckMessage m = message(SCKMSG_COPY_BIOS_MSG, BIOS_MGT_PORT); putText(&m, offsetof(SckMessage, payload), "at 40%"); return m; }(),
         0, "serverISckBiosStatus - SCKMSG_COPY_BIOS_MSG: at 40%\n"},
        {"BIOS error outside a swap",
         [&] { SckMessage m = message(SCKMSG_COPY_BIOS_ERROR, BIOS_MGT_PORT); memset(m.payload, 'x', sizeof m.payload); return m; }(),
         0, "serverISckBiosStatus - SCKMSG_COPY_BIOS_ERROR: xxxxxxxx"},
        {"LP_CM init, not LP_CM", message(SCKMSG_LPCM_INIT, BIOS_MGT_PORT), SCK_REFUSED,
         "serverISckLpcmInit: sender is not LP_CM ! (Message ignored)\n"},
        {"booster error, not LP_CM", message(SCKMSG_BOOSTER_ERROR, 4242), SCK_REFUSED,
         "serverISckBoosterError: sender is not LP_CM ! (Message ignored)\n"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(ask(c.request, &reply)) << c.what;
        if (std::string(c.what) == "phone started")
            EXPECT_EQ(-1, reply.result) << "the time-out of the entry";
        else
            EXPECT_EQ(c.result, reply.result) << c.what;
        if (c.log) EXPECT_TRUE(logHas(c.log, PATIENCE_MS)) << c.what;
    }
    // The error's text was cut to its field; the log was copied to the debug area.
    EXPECT_NE(std::string::npos, mainLog().find(std::string(SCK_PAYLOAD_SIZE, 'x') + "\n"));
    EXPECT_FALSE(readFile("/mnt/soft/debug/morvash.log").empty());
    EXPECT_FALSE(consoleHas("Stopping server.", 0)) << "nothing refused or noted shuts the board down";

    // Tables are dumped and checked without an answer; an unknown identifier is answered by nothing.
    EXPECT_FALSE(ask(message(SCKMSG_DUMP_TABLE), &reply));
    EXPECT_TRUE(logHas("--------------------------- TABLE OF PROCESSES --------------------------\n"));
    EXPECT_TRUE(logHas("]: PID=" + std::to_string(pid) +
                       ", prog. type=E, command-line=\"/bin/sleep 300\", sessionId=\"SLEEPER\", time-out=-1\n"));
    EXPECT_TRUE(logHas(", command-line=\"/bin/sleep 200\", sessionId=\"SLEEP\", time-out=-1, launched from item lpcm_a\n"));
    EXPECT_TRUE(logHas("Failure param= N : (Crash of process ignored).\n"));
    EXPECT_FALSE(ask(message(SCKMSG_CHECK_TABLE), &reply));
    EXPECT_FALSE(ask(message(SCKMSG_DEVICE_FULL), &reply));
    EXPECT_TRUE(logHas("serverVthSckServer::MyJobFunction] WARNING: ignoring unknown message [lgMsgID=15] \n", PATIENCE_MS));

    // Message 16: an unknown command and an item that matches nothing are not done.
    SckMessage item = message(SCKMSG_START_KILL_ITEM, 4242);
    item.value = 3;
    ASSERT_TRUE(ask(item, &reply));
    EXPECT_EQ(0, reply.success);
    EXPECT_TRUE(logHas("serverISckStartKillItem: unknown command 3\n"));
    item.value = ITEM_COMMAND_START;
    strcpy(item.itemName, "nothing_like_it");
    ASSERT_TRUE(ask(item, &reply));
    EXPECT_EQ(0, reply.success);
    EXPECT_TRUE(logHas("serverISckStartKillItem: no corresponding entry found in config.rc\n"));
    item.value = ITEM_COMMAND_STOP;
    ASSERT_TRUE(ask(item, &reply));
    EXPECT_EQ(1, reply.success);

    // Signalling and stopping a running session.
    SckMessage hup = sleeper;
    hup.id = SCKMSG_SIG_PROCESS;
    putInt(&hup, sckpayload::TIMEOUT, SIGSTOP);
    ASSERT_TRUE(ask(hup, &reply));
    EXPECT_EQ(0, reply.result);
    EXPECT_TRUE(waitFor([&] { return statusField(pid, "State").rfind("T", 0) == 0; }, PATIENCE_MS));
    kill(pid, SIGCONT);
    SckMessage stop = sleeper;
    stop.id = SCKMSG_STOP_PROCESS;
    ASSERT_TRUE(ask(stop, &reply));
    EXPECT_EQ(0, reply.result);
    EXPECT_TRUE(waitFor([&] { return gone(pid); }, PATIENCE_MS));
    EXPECT_TRUE(logHas("serverISckStopProcess] stopping process [SessionID=SLEEPER]\n"));
}

TEST_F(Messages, AnItemStartedByMessageWaitsForItsPhoneBinaryWhileTheServerServes)
{
    // The phone binary reports itself started (message 8) and alive (message 7) through the server.
    writeFile("/mnt/soft/boot/config.rc", std::string(SMALL_CONFIG) + "item=phone_a|Phone|L|M|10000|S|\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/phone_a"));
    writeFile("/mnt/soft/phone_a/conf.rc", "M+A|T|/tmp/bin/phone|F|time_out:10\n");
    script("/tmp/bin/phone", "lp_cm send 8 --value $$ > /tmp/phone.started\n"
                             "while :; do lp_cm send 7 --value $$ > /dev/null; sleep 1; done\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios", "-noreboot"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    EXPECT_EQ("", readFile("/tmp/phone.started")) << "not started by the start sequence";

    SckMessage item = message(SCKMSG_START_KILL_ITEM, 4242);
    item.value = ITEM_COMMAND_START;
    strcpy(item.itemName, "phone");
    setenv("SCK_REPLY_TIMEOUT_MS", "15000", 1);
    SckMessage reply;
    ASSERT_TRUE(ask(item, &reply));
    EXPECT_EQ(1, reply.success) << mainLog();
    // The item's start ends when message 8 is handled; LP_CM writes the answer once it has it.
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/phone.started") == "result=11 success=0\n"; }, PATIENCE_MS))
        << readFile("/tmp/phone.started") << "message 8 answered with the time-out";
    EXPECT_TRUE(logHas("serverISckStartKillItem: starting item phone\n"));
    EXPECT_EQ(std::string::npos, mainLog().find("start_phone_binary: Time-out"));

    // Stopping the item ends its phone binary.
    item.value = ITEM_COMMAND_STOP;
    strcpy(item.itemName, "phone_a");
    ASSERT_TRUE(ask(item, &reply));
    EXPECT_EQ(1, reply.success);
    EXPECT_TRUE(waitFor([] { return system("pgrep -fx '/bin/sh /tmp/bin/phone' > /dev/null") != 0; }, PATIENCE_MS));
}

// Board programs at once: table dumps among starts of short programs (their entries come and go on their
// own threads), then the BIOS manager's notes for as long as the watchdog thread takes three steps of its
// blinking. Under ThreadSanitizer this catches a race between the message server and the table's
// threads, or the watchdog: the notes touch nothing the watchdog takes, so nothing orders them.
TEST_F(Messages, DumpsStartsAndNotesComeTogetherBesideTheWatchdog)
{
    constexpr int PER_SENDER = 60;
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    const size_t dumpsBefore = count(mainLog(), "TABLE OF PROCESSES");
    std::atomic<int> startsDone{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 2; ++sender) {
        senders.emplace_back([&, sender] {
            // A dump is answered by nothing: it goes out on its own, and is served before the next start.
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(SERVER_PORT);
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const SckMessage dump = message(SCKMSG_DUMP_TABLE, 4242);
            for (int i = 0; i < PER_SENDER; ++i) {
                sendto(fd, &dump, sizeof dump, 0, reinterpret_cast<const sockaddr *>(&server), sizeof server);
                const std::string session = "T" + std::to_string(sender) + "_" + std::to_string(i);
                SckMessage answer;
                if (ask(startRequest(session.c_str(), "/bin/true", "", FAIL_IGNORE), &answer) && answer.result == 0)
                    ++startsDone;
            }
            close(fd);
        });
    }
    for (std::thread &t : senders) t.join();
    EXPECT_EQ(2 * PER_SENDER, startsDone.load());
    EXPECT_EQ(dumpsBefore + 2 * PER_SENDER, count(mainLog(), "TABLE OF PROCESSES"));

    SckMessage note = message(SCKMSG_COPY_BIOS_MSG, BIOS_MGT_PORT);
    putText(&note, sckpayload::TEXT, "copying");
    const size_t steps = leds().size();
    int notes = 0, answered = 0;
    const bool blinked = waitFor([&] {
        for (int i = 0; i < 20; ++i) {
            SckMessage reply;
            ++notes;
            if (ask(note, &reply) && reply.result == 0) ++answered;
        }
        return leds().size() >= steps + 3;
    }, PATIENCE_MS);
    EXPECT_TRUE(blinked) << "the watchdog blinks while the server serves";
    EXPECT_EQ(notes, answered);
}

TEST_F(Messages, NoticesReachLpcmAndAMissingAnswerIsLogged)
{
    morvVsendAnoDeviceFullToLpcm(66169, 0);
    morvVsendAckToLpcm();
    EXPECT_EQ("id=15 sender=23155 receiver=23154 value=0 payload=66169 flag=0\n"
              "id=9 sender=23155 receiver=23154 value=0 payload=0 flag=0\n",
              readFile(LPCM_RECORD));
    kill(lpcm, SIGKILL);
    morvVsendAnoDeviceFullToLpcm(377, 0);
    morvVsendAckToLpcm();
    EXPECT_TRUE(logHas("morvVsendAnoDeviceFullToLpcm: bad answer on socket message !\n"));
    EXPECT_TRUE(logHas("morvVsendAckToLpcm: bad answer on socket message !!! \n"));
}

TEST_F(Messages, TheBoosterErrorBlinksSevenTimes)
{
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    SckMessage reply;
    ASSERT_TRUE(waitFor([&] { return ask(message(SCKMSG_BOOSTER_ERROR), &reply); }, PATIENCE_MS));
    EXPECT_EQ(0, reply.result);
    EXPECT_TRUE(waitFor([] { return hasGroup(7); }, PATIENCE_MS)) << ::testing::PrintToString(blinkGroups());
}

TEST_F(Shutdown, SigtermStopsEverythingInOrderWhileTheWatchdogIsFed)
{
    // The stop script holds the shut-down until the test lets it go.
    script("/current/stop.sh", "echo ran > /tmp/stop.log\nwhile [ -e /tmp/stop.hold ]; do sleep 0.05; done\n");
    writeFile("/tmp/stop.hold", "");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    const SckMessage start = startRequest("SLEEPER", "/bin/sleep", "300", FAIL_FATAL);
    SckMessage reply;
    ASSERT_TRUE(ask(start, &reply));
    SckMessage pidOf = start;
    pidOf.id = SCKMSG_GET_PROCESS_PID;
    const pid_t sleeper = runningSession(pidOf);
    ASSERT_GT(sleeper, 0);

    ASSERT_EQ(0, kill(daemon, SIGTERM));
    ASSERT_TRUE(consoleHas("Running shutdown script (/current/stop.sh).\n", PATIENCE_MS)) << console();
    EXPECT_TRUE(gone(sleeper));
    const size_t fed = refreshes();
    const size_t lit = leds().size();
    EXPECT_TRUE(waitFor([&] { return refreshes() > fed; }, PATIENCE_MS)) << "the watchdog is fed during the stop";
    ASSERT_TRUE(waitFor([&] { return leds().size() >= lit + 3; }, PATIENCE_MS));
    const std::vector<Led> e = leds();
    for (size_t i = lit; i + 1 < e.size(); ++i) {
        if (e[i].on) EXPECT_NEAR(200, e[i + 1].at - e[i].at, 100) << "on for 200 ms while shutting down";
    }
    unlink("/tmp/stop.hold");
    ASSERT_TRUE(shutDown()) << console();

    const std::string out = console();
    size_t at = 0;
    for (const char *step : STOP_STEPS) {
        const size_t found = out.find(step, at);
        ASSERT_NE(std::string::npos, found) << step << " after the earlier steps in:\n" << out;
        at = found;
    }
    EXPECT_EQ("ran\n", readFile("/tmp/stop.log"));
    EXPECT_EQ(1u, count(readFile(RESET_LOG_FILE), " morvash.c 2487 3 Morvash signaled by SIGTERM (Power off ?)\n"));
    EXPECT_TRUE(waitFor([&] { return gone(daemon); }, PATIENCE_MS));
    const std::string requests = readFile("/tmp/pmr/requests");
    EXPECT_EQ(requests.rfind("WATCHDOG_REFRESH"), requests.find_last_not_of('\n') - strlen("WATCHDOG_REFRESH") + 1)
        << "the watchdog is fed once more last";
}

TEST_F(Shutdown, AShutDownDuringThePhoneBinarysStartStillServesAndStops)
{
    // The start sequence waits for a phone binary that never reports; a shut-down cancels that wait.
    writeFile("/mnt/soft/lpcm_a/conf.rc", "M+A|T|/bin/sleep 250|F|time_out:60\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(waitFor([] { return system("pgrep -fx '/bin/sleep 250' > /dev/null") == 0; }, PATIENCE_MS));
    const std::string mainThread = "/proc/" + std::to_string(daemon) + "/task/" + std::to_string(daemon) + "/status";
    kill(daemon, SIGTERM);
    ASSERT_TRUE(waitFor([&] { return readFile(mainThread).find("State:\tZ") != std::string::npos; }, PATIENCE_MS))
        << "the start sequence is cancelled";
    SckMessage started = message(SCKMSG_PHONE_BIN_STARTED);
    SckMessage reply;
    EXPECT_TRUE(ask(started, &reply)) << "LP_CM's notice is still served";
    ASSERT_TRUE(shutDown()) << console();
    EXPECT_EQ(std::string::npos, console().find("started all binaries"));
}

// A shut-down starts nothing on request: an item's start under way when it begins starts no further
// program, a start asked for meanwhile is refused, and nothing started by them outlives the shut-down.
TEST_F(Shutdown, NothingStartedOnRequestOutlivesIt)
{
    writeFile("/mnt/soft/boot/config.rc", std::string(SMALL_CONFIG) + "item=late_a|Late|L|M|10000|S|\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/late_a"));
    // The item's start waits for its first program, which only the stop of all programs ends.
    writeFile("/mnt/soft/late_a/conf.rc", "M+A|S|/bin/sleep 30|N|time_out:60\nM+A|E|/bin/sleep 777|N\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    SckMessage item = message(SCKMSG_START_KILL_ITEM, 4242);
    item.value = ITEM_COMMAND_START;
    strcpy(item.itemName, "late");
    SckMessage reply;
    ask(item, &reply);  // answered once the item has started, not now
    const auto running = [](const char *program) {
        return system(("pgrep -fx '" + std::string(program) + "' > /dev/null").c_str()) == 0;
    };
    ASSERT_TRUE(waitFor([&] { return running("/bin/sleep 30"); }, PATIENCE_MS)) << mainLog();

    const auto begun = std::chrono::steady_clock::now();
    ASSERT_TRUE(ask(message(SCKMSG_STORE_RESET_INFO, 4242), &reply));
    // Served after the shut-down began, if served at all.
    if (ask(startRequest("LATE", "/bin/sleep", "778", FAIL_IGNORE), &reply)) EXPECT_NE(0, reply.result);
    ASSERT_TRUE(shutDown()) << console();
    printf("Shutdown of Morvash ok after %lld ms\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count()));
    for (const char *program : {"/bin/sleep 30", "/bin/sleep 777", "/bin/sleep 778"})
        EXPECT_TRUE(waitFor([&] { return !running(program); }, PATIENCE_MS)) << program << " outlived the shut-down";
    const std::string log = mainLog();
    EXPECT_EQ(std::string::npos, log.find("(re)starting \"/bin/sleep 777\"")) << log;
    EXPECT_EQ(std::string::npos, log.find("(re)starting \"/bin/sleep 778\"")) << log;
    EXPECT_TRUE(logHas("processIStartProcess: shutting down, process [sessionID=SLEEP] [ProgPath=/bin/sleep] not started\n"));
}

TEST_F(Shutdown, AWatchdogNmiIsRecordedOnceAndALaterPowerOffAddsNothing)
{
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    kill(daemon, PMR_SIGNAL_WATCHDOG_NMI);
    ASSERT_TRUE(consoleHas("\t* Corvo Watchdog Timer NMI occured ! *\n", PATIENCE_MS));
    kill(daemon, PMR_SIGNAL_POWER_OFF);
    ASSERT_TRUE(shutDown()) << console();
    const std::string resets = readFile(RESET_LOG_FILE);
    EXPECT_EQ(1u, count(resets, " morvash.c 2487 3 Corvo Watchdog Timer NMI occured.\n"));
    EXPECT_EQ(1u, lineCount(resets));
    EXPECT_EQ(std::string::npos, console().find("* Power off *"));
}

TEST_F(Shutdown, ASigtermDuringTheBiosUpdateWaitsForItsEnd)
{
    writeFile("/tmp/bios.hold", "");
    setenv("BIOS_MGT_HOLD", "/tmp/bios.hold", 1);
    ASSERT_TRUE(startDaemon());
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/bios_mgt.log").empty(); }, PATIENCE_MS));
    kill(daemon, SIGTERM);
    ASSERT_TRUE(consoleHas("\t*** ==> delaying shutdown until end of update. ***\n", PATIENCE_MS)) << console();
    kill(daemon, SIGTERM);
    EXPECT_FALSE(consoleHas("Stopping server.", 1500)) << "nothing stops while the BIOS is updated";
    unlink("/tmp/bios.hold");
    ASSERT_TRUE(shutDown()) << console();
    EXPECT_EQ(1u, lineCount(readFile(RESET_LOG_FILE)));
    EXPECT_EQ(1u, count(console(), "delaying shutdown"));
}

TEST_F(Shutdown, AResetRecordByMessageIsStoredAndShutsTheBoardDown)
{
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    SckMessage record = message(SCKMSG_STORE_RESET_INFO, 4242);
    // Texts that fill their fields to the last byte are cut to them.
    memset(record.payload, 'S', RESET_SOURCE_SIZE);
    putInt(&record, sckpayload::RESET_LINE, 77);
    putInt(&record, sckpayload::RESET_SEVERITY, 3);
    memset(reinterpret_cast<char *>(&record) + sckpayload::RESET_MESSAGE, 'M', RESET_MESSAGE_SIZE + 100);
    SckMessage reply;
    ASSERT_TRUE(ask(record, &reply));
    EXPECT_EQ(0, reply.result);
    ASSERT_TRUE(shutDown()) << console();
    EXPECT_NE(std::string::npos,
              readFile(RESET_LOG_FILE).find(" " + std::string(15, 'S') + " 77 3 " + std::string(42, 'M') + "\n"));
}

TEST_F(Shutdown, AnLpcmInitFailureHaltsTheBoardAndKeepsItFed)
{
    script("/current/stop.sh", "while [ -e /tmp/stop.hold ]; do sleep 0.05; done\n");
    writeFile("/tmp/stop.hold", "");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    SckMessage reply;
    ASSERT_TRUE(ask(message(SCKMSG_LPCM_INIT), &reply));
    EXPECT_EQ(0, reply.result);
    // Everything is stopped beside the watchdog thread, which goes on feeding the watchdog meanwhile.
    ASSERT_TRUE(consoleHas("Running shutdown script (/current/stop.sh).\n", PATIENCE_MS)) << console();
    const size_t fedBefore = refreshes();
    EXPECT_TRUE(waitFor([&] { return refreshes() > fedBefore; }, PATIENCE_MS)) << "the watchdog is fed during the stop";
    unlink("/tmp/stop.hold");
    ASSERT_TRUE(consoleHas("\t* System halt asked by LP_CM: init KO *\n", PATIENCE_MS)) << console();
    EXPECT_TRUE(logHas("System halt asked by LP_CM: init KO\n"));
    EXPECT_NE(std::string::npos, console().find("Unmounting all loopbacks.\n"));
    ASSERT_TRUE(waitFor([] { return readFile(SERIAL) == "\t*** ERROR *** LP_CM INIT FAILED ***\n"; }, 40000))
        << readFile(SERIAL);
    EXPECT_TRUE(waitFor([] { return hasGroup(6); }, PATIENCE_MS)) << ::testing::PrintToString(blinkGroups());
    const size_t fed = refreshes();
    EXPECT_TRUE(waitFor([&] { return refreshes() > fed; }, 35000));
    EXPECT_FALSE(gone(daemon));
    EXPECT_EQ(std::string::npos, readFile(INIT_SIGNALS).find("SIGINT"));
    EXPECT_EQ(std::string::npos, console().find("Shutdown of Morvash ok."));
}

// A message-16 worker ended by LP_CM's failed initialisation, while its item's phone binary starts, leaves
// the next message 16 served and the halt unheld.
TEST_F(Shutdown, AnItemWorkerEndedByTheHaltHoldsNoOtherRequest)
{
    writeFile("/mnt/soft/boot/config.rc", std::string(SMALL_CONFIG) + "item=phone_a|Phone|L|M|10000|S|\n");
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/phone_a"));
    writeFile("/mnt/soft/phone_a/conf.rc", "M+A|T|/bin/sleep 250|F|time_out:60\n");
    ASSERT_TRUE(startDaemon({"-nolib", "-nobios"}));
    ASSERT_TRUE(started()) << console() << mainLog();
    SckMessage item = message(SCKMSG_START_KILL_ITEM, 4242);
    item.value = ITEM_COMMAND_START;
    strcpy(item.itemName, "phone");
    SckMessage reply;
    ask(item, &reply);  // answered once LP_CM reports, not now
    ASSERT_TRUE(waitFor([] { return system("pgrep -fx '/bin/sleep 250' > /dev/null") == 0; }, PATIENCE_MS));
    ASSERT_TRUE(ask(message(SCKMSG_LPCM_INIT), &reply));
    item.value = 3;
    ask(item, &reply);
    EXPECT_TRUE(logHas("serverISckStartKillItem: unknown command 3\n", PATIENCE_MS)) << mainLog();
    EXPECT_TRUE(consoleHas("\t* System halt asked by LP_CM: init KO *\n", PATIENCE_MS)) << console();
}

// The hourly round finds the shutting-down flag set: it shuts the board down, unless a shut-down waits for
// the BIOS update's end (then the start sequence carries it out when the update returns).
using HourlyRound = BoardTest;

TEST_F(HourlyRound, ShutsDownAFlaggedBoardButNotDuringTheBiosUpdate)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        int biosLaunch;
        int exitCode;
    } cases[] = {{BIOS_LAUNCH_SHUTDOWN_DELAYED, 7}, {BIOS_LAUNCH_RUNNING, 7}, {BIOS_LAUNCH_IDLE, 0}};
    for (const auto &c : cases) {
        EXPECT_EXIT(
            {
                g_shuttingDown = true;
                g_biosLaunchState = c.biosLaunch;
                const long wakes = processIsupervisionWakes();
                raise(SIGALRM);
                waitFor([&] { return processIsupervisionWakes() > wakes; }, PATIENCE_MS);
                _exit(7);
            },
            testing::ExitedWithCode(c.exitCode), "")
            << c.biosLaunch;
    }
}

}  // namespace

#include "server.h"

#include "clock.h"
#include "dlibmgt.h"
#include "log.h"
#include "morvash.h"
#include "loopback.h"
#include "modules.h"
#include "process.h"
#include "resetlog.h"
#include "resources.h"
#include "subconfig.h"
#include "swap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {
constexpr const char *SWAP_BACK_CONFIG = "/mnt/soft/boot/configrc.new";
constexpr size_t SHORT_NAME_SIZE = 256;
constexpr const char *DASHES = "-------------------------------------------------------------------------";

SckServerContext serverContext;
pthread_t serverThread;
std::atomic<bool> serverStarted{false};
// Guards the server socket for replies sent from message 16's worker after the server has gone.
pthread_mutex_t replyMutex = PTHREAD_MUTEX_INITIALIZER;
bool replyOpen;
// The start goes on once the server listens or has given up, so that a program it launches next (the BIOS
// manager) finds the port open. Guarded by replyMutex.
pthread_cond_t serverReady = PTHREAD_COND_INITIALIZER;
bool serverInitDone;
constexpr long SERVER_READY_WAIT_MS = 10000;

void announceServerInit(bool listening)
{
    pthread_mutex_lock(&replyMutex);
    replyOpen = listening;
    serverInitDone = true;
    pthread_cond_broadcast(&serverReady);
    pthread_mutex_unlock(&replyMutex);
}
// One item is started or stopped at a time: each makes its item the current one.
pthread_mutex_t itemMutex = PTHREAD_MUTEX_INITIALIZER;

// A text field of a request, never read past its field.
std::string field(const SckMessage *m, int offset, size_t size)
{
    const char *p = reinterpret_cast<const char *>(m) + offset;
    return std::string(p, strnlen(p, size));
}

int32_t integerAt(const SckMessage *m, int offset)
{
    int32_t value;
    memcpy(&value, reinterpret_cast<const char *>(m) + offset, sizeof value);
    return value;
}

// The whole request as the reply to its sender, with RESULT.
int32_t answer(const SckMessage *request, SckMessage *reply, int32_t result)
{
    memcpy(reply, request, sizeof *reply);
    g_boardLibs.sckMessageMakeReply(reply);
    reply->result = result;
    return result;
}

bool fromSender(const SckMessage *request, int32_t expected)
{
    return request->sender == expected;
}

// A message that only SENDER may send, from another: logged with REFUSAL and answered -1.
bool refused(const SckMessage *request, SckMessage *reply, int32_t sender, const char *refusal)
{
    if (fromSender(request, sender)) return false;
    morvVlog("%s", refusal);
    answer(request, reply, SCK_REFUSED);
    return true;
}

std::string sessionOf(const SckMessage *request)
{
    return field(request, sckpayload::SESSION, SESSION_ID_SIZE);
}

int32_t serverISckStartProcess(const SckMessage *request, SckMessage *reply)
{
    const std::string session = sessionOf(request);
    if (!session.empty() && processIGetProcessIndexBySessionID(session.c_str()) >= 0) {
        morvVlog("serverISckStartProcess] WARNING: process [SessionID=%s] is already running\n", session.c_str());
        return answer(request, reply, SCK_ALREADY_RUNNING);
    }
    const int index = morvIGetFreeTableEntry();
    if (index < 0) {
        morvVlog("serverISckStartProcess] FAILED: no more free entries in the process table\n");
        return answer(request, reply, SCK_TABLE_FULL);
    }
    // Field by field: each text is cut to its field, and the entry stays in use whatever was sent.
    const char type = field(request, sckpayload::TYPE, 1)[0];
    const int timeout = integerAt(request, sckpayload::TIMEOUT);
    processVsetProgram(index, session.c_str(), type, field(request, sckpayload::PATH, PROG_PATH_SIZE).c_str(),
                       field(request, sckpayload::PARAMS, PROG_PARAMS_SIZE).c_str(), timeout,
                       field(request, sckpayload::FAIL_PATH, FAIL_PATH_SIZE).c_str(),
                       field(request, sckpayload::FAIL_PARAMS, FAIL_PARAMS_SIZE).c_str(),
                       field(request, sckpayload::FAIL_PARAM, 1)[0]);
    pthread_t thread;
    const int status = processIStartProcess(index, &thread);
    if (status != 0) {
        morvVlog("serverISckStartProcess FAILED: process [SessionID=%s] not started\n", session.c_str());
        processVfreeEntry(index);
        return answer(request, reply, status);
    }
    if (type == TYPE_ONESHOT && timeout > 0)
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
    return answer(request, reply, 0);
}

int32_t serverISckStopProcess(const SckMessage *request, SckMessage *reply)
{
    const std::string session = sessionOf(request);
    const int index = processIGetProcessIndexBySessionID(session.c_str());
    if (index < 0) {
        morvVlog("serverISckStopProcess] WARNING: process [SessionID=%s] does not exist (or not supervised)\n",
                 session.c_str());
        return answer(request, reply, SCK_NO_SUCH_SESSION);
    }
    morvVlog("serverISckStopProcess] stopping process [SessionID=%s]\n", session.c_str());
    processIStopProcess(index);
    return answer(request, reply, 0);
}

int32_t serverISckSigProcess(const SckMessage *request, SckMessage *reply)
{
    const std::string session = sessionOf(request);
    const int index = processIGetProcessIndexBySessionID(session.c_str());
    if (index < 0) {
        morvVlog("serverISckSigProcess WARNING: process [SessionID=%s] does not exist\n", session.c_str());
        return answer(request, reply, SCK_NO_SUCH_SESSION);
    }
    morvVlog("serverISckSigProcess: signalling process [SessionID=%s]\n", session.c_str());
    answer(request, reply, 0);
    return processISignalProcess(index, integerAt(request, sckpayload::TIMEOUT));
}

int32_t serverISckSessionExists(const SckMessage *request, SckMessage *reply)
{
    const bool exists = processIGetProcessIndexBySessionID(sessionOf(request).c_str()) >= 0;
    return answer(request, reply, exists ? 0 : SCK_NO_SUCH_SESSION);
}

int32_t serverISckGetProcessPid(const SckMessage *request, SckMessage *reply)
{
    const std::string session = sessionOf(request);
    const int index = processIGetProcessIndexBySessionID(session.c_str());
    if (index < 0) {
        morvVlog("serverISckGetProcessPid] WARNING: process [SessionID=%s] does not exist\n", session.c_str());
        return answer(request, reply, SCK_NO_SUCH_SESSION);
    }
    morvVlog("serverISckGetProcessPid] looking up pid for process [SessionID=%s]\n", session.c_str());
    return answer(request, reply, g_processTable[index].pid);
}

int32_t serverISckStoreResetInfo(const SckMessage *request, SckMessage *reply)
{
    ResetRecord record;
    morvVmakeResetRecord(&record, field(request, sckpayload::RESET_SOURCE, RESET_SOURCE_SIZE).c_str(),
                         integerAt(request, sckpayload::RESET_LINE), integerAt(request, sckpayload::RESET_SEVERITY),
                         field(request, sckpayload::RESET_MESSAGE, RESET_MESSAGE_SIZE).c_str());
    VStoreResetInfo(&record);
    processVrequestShutdown();
    return answer(request, reply, 0);
}

int32_t serverISckProcessIsAlive(const SckMessage *request, SckMessage *reply)
{
    const pid_t pid = request->value;
    if (processIrefreshInhouse(pid) != 0) {
        morvVlog("serverISckProcessIsAlive: Process ID %d not found ! (Message ignored)\n", pid);
        return answer(request, reply, SCK_REFUSED);
    }
    return answer(request, reply, 0);
}

int32_t serverISckPhoneBinStarted(const SckMessage *request, SckMessage *reply)
{
    if (!fromSender(request, LPCM_PORT)) {
        morvVlog("serverISckPhoneBinStarted: sender is not the phone binary ! (Message ignored) (Sender ID is %d, LP_CM ID is %d)\n",
                 request->sender, LPCM_PORT);
        return answer(request, reply, SCK_REFUSED);
    }
    const pid_t pid = request->value;
    const int index = pid > 0 ? processIGetIndexByPid(pid) : -1;
    int32_t result = SCK_REFUSED;
    if (index < 0)
        morvVlog("serverISckPhoneBinStarted: Entry for process PID %d not found\n\n", pid);
    else
        result = processOview(index).timeout;
    morvVsignalStartCondition(START_EVENT_PHONE_STARTED);
    return answer(request, reply, result);
}

int32_t serverISckSwapStatus(const SckMessage *request, SckMessage *reply)
{
    if (refused(request, reply, LPCM_PORT, "serverISckSwapStatus: sender is not the phone binary ! (Message ignored)\n"))
        return SCK_REFUSED;
    g_swapStatus = request->value;
    morvVpostSwapSemaphore();
    morvVsignalStartCondition(START_EVENT_SWAP_STATUS);
    return answer(request, reply, 0);
}

int32_t serverISckBiosStatus(const SckMessage *request, SckMessage *reply)
{
    if (refused(request, reply, BIOS_MGT_PORT, "serverISckBiosStatus: sender is not BIOS_MGT ! (Message ignored)\n"))
        return SCK_REFUSED;
    const std::string text = field(request, sckpayload::TEXT, SCK_PAYLOAD_SIZE);
    switch (request->id) {
    case SCKMSG_COPY_BIOS_OK:
        morvVlog("serverISckBiosStatus - SCKMSG_COPY_BIOS_OK: %s\n", text.c_str());
        // The swap is tried again after the reset that follows.
        if (g_swapInProgress && rename(SWAP_CONFIG, SWAP_BACK_CONFIG) != 0)
            morvVlog("serverISckBiosStatus - rename(%s, %s) error: %s\n", SWAP_CONFIG, SWAP_BACK_CONFIG,
                     strerror(errno));
        g_shuttingDown = true;
        break;
    case SCKMSG_COPY_BIOS_KO:
        morvVlog("serverISckBiosStatus - SCKMSG_COPY_BIOS_KO: %s\n", text.c_str());
        g_biosCopyKo = true;
        break;
    case SCKMSG_COPY_BIOS_MSG:
        morvVlog("serverISckBiosStatus - SCKMSG_COPY_BIOS_MSG: %s\n", text.c_str());
        break;
    default:
        morvVlog("serverISckBiosStatus - SCKMSG_COPY_BIOS_ERROR: %s\n", text.c_str());
        if (g_swapInProgress) {
            g_biosSwapError = true;
            g_shuttingDown = true;
        } else {
            morvVcopyLogToDebug();
        }
        break;
    }
    return answer(request, reply, 0);
}

int32_t serverISckLpcmInit(const SckMessage *request, SckMessage *reply)
{
    if (refused(request, reply, LPCM_PORT, "serverISckLpcmInit: sender is not LP_CM ! (Message ignored)\n"))
        return SCK_REFUSED;
    g_lpcmInitKo = true;
    morvVsignalStartCondition(START_EVENT_LPCM_INIT_KO);
    return answer(request, reply, 0);
}

int32_t serverISckBoosterError(const SckMessage *request, SckMessage *reply)
{
    if (refused(request, reply, LPCM_PORT, "serverISckBoosterError: sender is not LP_CM ! (Message ignored)\n"))
        return SCK_REFUSED;
    g_boosterError = true;
    return answer(request, reply, 0);
}

int32_t stopItem(const char *item)
{
    return processIStopByItem(item) + modulesSremoveByItem(item) + loopbackSunmountByItem(item);
}

int32_t startItem(const char *text)
{
    morvVlog("serverISckStartKillItem: starting item %s", text);
    int found = -1;
    for (uint32_t i = 0; i < g_itemTable.count && i < MAX_CONFIG_ITEMS && found < 0; ++i) {
        const char *name = g_itemTable.items[i].name;
        if (name && strstr(name, text)) found = static_cast<int>(i);
    }
    char shortName[SHORT_NAME_SIZE] = "";
    if (found < 0 || !g_boardLibs.confSshort_basename ||
        g_boardLibs.confSshort_basename(g_itemTable.items[found].name, shortName) != 0) {
        morvVlog("serverISckStartKillItem: no corresponding entry found in config.rc\n");
        return 1;
    }
    const std::string path = std::string(CURRENT_DIR) + shortName + "/" + SUBCONFIG_NAME;
    g_currentItem = found;
    const int result = morvIparseSubconfig(path.c_str());
    g_currentItem = -1;
    return result;
}

// Message 16 runs on a worker of its own: starting a phone binary waits for LP_CM's message 8, which
// only the server thread can receive.
void *serverVthStartKillItem(void *argument)
{
    SckMessage *reply = static_cast<SckMessage *>(argument);
    // Counted by the server from before this thread was made.
    struct Counted {
        ~Counted() { processVrequestEnds(); }
    } counted;
    const std::string item(reply->itemName, strnlen(reply->itemName, sizeof reply->itemName));
    int32_t result;
    {
        // Released however the thread ends: a fatal error or LP_CM's failed initialisation ends it within.
        struct ItemLock {
            ItemLock() { pthread_mutex_lock(&itemMutex); }
            ~ItemLock() { pthread_mutex_unlock(&itemMutex); }
        } lock;
        if (reply->value == ITEM_COMMAND_STOP) {
            result = stopItem(item.c_str());
        } else if (reply->value == ITEM_COMMAND_START) {
            processVstartsOnRequest(true);
            result = startItem(item.c_str());
            processVstartsOnRequest(false);
        } else {
            morvVlog("serverISckStartKillItem: unknown command %d\n", reply->value);
            result = 1;
        }
    }
    reply->result = result;
    reply->success = result == 0 ? 1 : 0;
    pthread_mutex_lock(&replyMutex);
    if (replyOpen) g_boardLibs.sckServerSendReply(&serverContext, reply);
    pthread_mutex_unlock(&replyMutex);
    delete reply;
    return nullptr;
}

int32_t serverISckStartKillItem(const SckMessage *request, SckMessage *)
{
    SckMessage *later = new SckMessage;
    answer(request, later, 0);
    pthread_t worker;
    processVrequestBegins();
    const int status = morvSpthreadCreate(&worker, nullptr, serverVthStartKillItem, later);
    if (status != 0) {
        processVrequestEnds();
        morvVlog("serverISckStartKillItem: morvSpthreadCreate error %d:%s\n", status, strerror(status));
        delete later;
        return status;
    }
    pthread_detach(worker);
    return 0;
}

const char *failureText(const ProcessView &e)
{
    const bool command = e.failPath[0] != '\0';
    switch (e.failParam) {
    case FAIL_ALWAYS:
        return command ? "Failure param= %c : (Always try restaring process by launching \"%s %s\")"
                       : "Failure param= %c : (Always try restaring process)";
    case FAIL_FATAL:
        return command ? "Failure param= %c : (Try restaring process by launching \"%s %s\")"
                       : "Failure param= %c : (Try restaring process, and reset the system if process crash 3 times in less than 30 minutes)";
    case FAIL_TOLERATE:
        return command ? "Failure param= %c : (Try restaring process by launching \"%s %s\")"
                       : "Failure param= %c : (Try restaring process, if process crash 3 times in less than 30 minutes, leave the process)";
    case FAIL_IGNORE:
        return "Failure param= %c : (Crash of process ignored).";
    case FAIL_RESET:
        return "Failure param= %c : (Reset the system when process crash)";
    default:
        return "Failure param= %c : (Unknown parameter ??? -> ignored)";
    }
}

void closeServer(void *)
{
    pthread_mutex_lock(&replyMutex);
    replyOpen = false;
    close(serverContext.socket);
    serverContext.socket = -1;
    pthread_mutex_unlock(&replyMutex);
}
}  // namespace

void serverVdumpTable()
{
    morvVlog("%s", DASHES);
    morvVlog("--------------------------- TABLE OF PROCESSES --------------------------");
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        // A copy taken under the table's lock: the entry's owner may change or free it meanwhile.
        const ProcessView e = processOview(i);
        const int pid = e.pid;
        if (pid == 0) continue;
        morvVlog("%s", DASHES);
        if (e.beingKilled)
            morvVlog("Process[%d]: PID=%d, prog. type=%c, command-line=\"%s %s\", sessionId=\"%s\", time-out=%d (Being killed).",
                     i, pid, e.type, e.path, e.params, e.sessionId, e.timeout);
        else if (e.itemName[0])
            morvVlog("Process[%d]: PID=%d, prog. type=%c, command-line=\"%s %s\", sessionId=\"%s\", time-out=%d, launched from item %s",
                     i, pid, e.type, e.path, e.params, e.sessionId, e.timeout, e.itemName);
        else
            morvVlog("Process[%d]: PID=%d, prog. type=%c, command-line=\"%s %s\", sessionId=\"%s\", time-out=%d",
                     i, pid, e.type, e.path, e.params, e.sessionId, e.timeout);
        morvVlog(failureText(e), e.failParam, e.failPath, e.failParams);
    }
}

int MyJobFunction(SckMessage *request, SckMessage *reply)
{
    switch (request->id) {
    case SCKMSG_START_PROCESS: return serverISckStartProcess(request, reply);
    case SCKMSG_STOP_PROCESS: return serverISckStopProcess(request, reply);
    case SCKMSG_SIG_PROCESS: return serverISckSigProcess(request, reply);
    case SCKMSG_SESSION_EXISTS: return serverISckSessionExists(request, reply);
    case SCKMSG_GET_PROCESS_PID: return serverISckGetProcessPid(request, reply);
    case SCKMSG_STORE_RESET_INFO: return serverISckStoreResetInfo(request, reply);
    case SCKMSG_PROCESS_IS_ALIVE: return serverISckProcessIsAlive(request, reply);
    case SCKMSG_PHONE_BIN_STARTED: return serverISckPhoneBinStarted(request, reply);
    case SCKMSG_SWAP_STATUS: return serverISckSwapStatus(request, reply);
    case SCKMSG_COPY_BIOS_OK:
    case SCKMSG_COPY_BIOS_KO:
    case SCKMSG_COPY_BIOS_MSG:
    case SCKMSG_COPY_BIOS_ERROR: return serverISckBiosStatus(request, reply);
    case SCKMSG_LPCM_INIT: return serverISckLpcmInit(request, reply);
    case SCKMSG_START_KILL_ITEM: return serverISckStartKillItem(request, reply);
    case SCKMSG_DUMP_TABLE: serverVdumpTable(); return 0;
    case SCKMSG_BOOSTER_ERROR: return serverISckBoosterError(request, reply);
    case SCKMSG_CHECK_TABLE: processVcheckTable(); return 0;
    default:
        morvVlog("serverVthSckServer::MyJobFunction] WARNING: ignoring unknown message [lgMsgID=%d] \n", request->id);
        return SCK_REFUSED;
    }
}

void *serverVthSckServer(void *)
{
    // Under "-noreboot" the start goes on after a library that lacked an entry point: serve only with all.
    const BoardLibraries &l = g_boardLibs;
    if (!l.sckServerInit || !l.sckServerDoJob || !l.sckMessageMakeReply || !l.sckServerSendReply ||
        l.sckServerInit(&serverContext, SERVER_PORT) != 0) {
        morvVlog("serverVthSckServer] FAILED: to call sckServerInit (%s)\n", strerror(errno));
        announceServerInit(false);
        return reinterpret_cast<void *>(-1);
    }
    announceServerInit(true);
    // Message 1 starts programs on request.
    processVstartsOnRequest(true);
    pthread_cleanup_push(closeServer, nullptr);
    morvVlog("serverVthSckServer] starting SckServer thread...\n");
    while (!g_shuttingDown) g_boardLibs.sckServerDoJob(&serverContext, MyJobFunction);
    pthread_cleanup_pop(1);
    return nullptr;
}

int serverSstart()
{
    pthread_mutex_lock(&replyMutex);
    serverInitDone = false;
    pthread_mutex_unlock(&replyMutex);
    const int status = morvSpthreadCreate(&serverThread, nullptr, serverVthSckServer, nullptr);
    if (status != 0) return status;
    serverStarted = true;
    const struct timespec deadline = clockOafter(SERVER_READY_WAIT_MS);
    pthread_mutex_lock(&replyMutex);
    while (!serverInitDone)
        if (clockIwaitCondition(&serverReady, &replyMutex, deadline) == ETIMEDOUT) break;
    pthread_mutex_unlock(&replyMutex);
    return status;
}

void serverVstop()
{
    if (!serverStarted.exchange(false)) return;
    pthread_cancel(serverThread);
    pthread_join(serverThread, nullptr);
    // Message 16's workers waiting for LP_CM's notice would wait in vain; they end, starting nothing more
    // (the stop of all programs waits for them).
    morvVsignalStartCondition(START_EVENT_SHUTDOWN);
}

namespace {
void sendToLpcm(SckMessage *notice, const char *failure)
{
    notice->sender = SERVER_PORT;
    notice->receiver = LPCM_PORT;
    SckMessage reply;
    if (!g_boardLibs.sckClientSendMessage ||
        g_boardLibs.sckClientSendMessage(LOCAL_HOST, LPCM_PORT, notice, &reply) == -1)
        morvVlog("%s", failure);
}
}  // namespace

void morvVsendAckToLpcm()
{
    SckMessage notice{};
    notice.id = SCKMSG_SWAP_STATUS;
    notice.value = 0;
    sendToLpcm(&notice, "morvVsendAckToLpcm: bad answer on socket message !!! \n");
}

void morvVsendAnoDeviceFullToLpcm(int32_t value, uint8_t flag)
{
    SckMessage notice{};
    notice.id = SCKMSG_DEVICE_FULL;
    char *record = reinterpret_cast<char *>(&notice);
    memcpy(record + sckpayload::NOTICE_VALUE, &value, sizeof value);
    record[sckpayload::NOTICE_FLAG] = static_cast<char>(flag);
    sendToLpcm(&notice, "morvVsendAnoDeviceFullToLpcm: bad answer on socket message !\n");
}

// The local message server: board programs start, stop and signal supervised processes, keep in-house
// programs alive, and LP_CM and the BIOS manager report their state; the supervisor sends LP_CM notices.
#pragma once

#include "boardlibs.h"

#include <cstdint>

constexpr int SERVER_PORT = 23155;
constexpr int LPCM_PORT = 23154;
constexpr int BIOS_MGT_PORT = 23161;
constexpr const char *LOCAL_HOST = "127.0.0.1";

enum SckMessageId : int32_t {
    SCKMSG_START_PROCESS = 1,
    SCKMSG_STOP_PROCESS = 2,
    SCKMSG_SIG_PROCESS = 3,
    SCKMSG_SESSION_EXISTS = 4,
    SCKMSG_GET_PROCESS_PID = 5,
    SCKMSG_STORE_RESET_INFO = 6,
    SCKMSG_PROCESS_IS_ALIVE = 7,
    SCKMSG_PHONE_BIN_STARTED = 8,
    SCKMSG_SWAP_STATUS = 9,
    SCKMSG_COPY_BIOS_OK = 10,
    SCKMSG_COPY_BIOS_KO = 11,
    SCKMSG_LPCM_INIT = 12,
    SCKMSG_COPY_BIOS_MSG = 13,
    SCKMSG_COPY_BIOS_ERROR = 14,
    SCKMSG_DEVICE_FULL = 15,
    SCKMSG_START_KILL_ITEM = 16,
    SCKMSG_DUMP_TABLE = 17,
    SCKMSG_BOOSTER_ERROR = 18,
    SCKMSG_CHECK_TABLE = 19,
};

// Answers of the handlers.
constexpr int32_t SCK_REFUSED = -1;
constexpr int32_t SCK_ALREADY_RUNNING = -10;
constexpr int32_t SCK_NO_SUCH_SESSION = -11;
constexpr int32_t SCK_TABLE_FULL = -12;

// Message 16's commands.
constexpr int32_t ITEM_COMMAND_STOP = 1;
constexpr int32_t ITEM_COMMAND_START = 2;

// Offsets of message 1's process record and message 6's reset record, from the start of the record.
namespace sckpayload {
constexpr int SESSION = 60, TYPE = 71, PATH = 72, PARAMS = 173, TIMEOUT = 688, FAIL_PATH = 692,
              FAIL_PARAMS = 793, FAIL_PARAM = 900;
constexpr int RESET_SOURCE = 60, RESET_LINE = 76, RESET_SEVERITY = 80, RESET_MESSAGE = 84;
constexpr int NOTICE_VALUE = 60, NOTICE_FLAG = 64;
constexpr int TEXT = 60;  // the text of messages 10 to 14
}  // namespace sckpayload

void *serverVthSckServer(void *);
// Starts the server thread (morvSpthreadCreate); 0 or the thread-creation error.
int serverSstart();
int MyJobFunction(SckMessage *request, SckMessage *reply);
// Cancels the server thread and waits for it; later replies of message 16's workers are dropped, and
// those waiting for LP_CM are woken.
void serverVstop();

void serverVdumpTable();
void morvVsendAckToLpcm();
void morvVsendAnoDeviceFullToLpcm(int32_t value, uint8_t flag);

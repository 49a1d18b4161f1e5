// Stand-in for the board's BIOS manager "bios_mgt", which the supervisor runs before the items. It
// reports to the supervisor as BIOS_MGT (sender 23161) and ends; a test tells it what to do:
//   BIOS_MGT_HOLD      a file: the manager runs while it exists (at most 120 s)
//   BIOS_MGT_MESSAGES  reports sent before it ends, "ID:TEXT" separated by ";" (10 OK, 11 KO, 13, 14)
//   BIOS_MGT_EXIT      its exit status (default 0)
// Each start is appended to /tmp/bios_mgt.log.
#include "../boardlibs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int sckClientSendMessage(const char *host, int port, SckMessage *request, SckMessage *reply);

namespace {
constexpr int BIOS_MGT_PORT = 23161;
constexpr int SUPERVISOR_PORT = 23155;
constexpr int HOLD_LIMIT_MS = 120000;
constexpr int HOLD_POLL_MS = 20;

void report(const std::string &entry)
{
    const size_t colon = entry.find(':');
    SckMessage request{}, reply{};
    request.id = atoi(entry.c_str());
    request.sender = BIOS_MGT_PORT;
    request.receiver = SUPERVISOR_PORT;
    const std::string text = colon == std::string::npos ? "" : entry.substr(colon + 1);
    snprintf(request.payload, sizeof request.payload, "%s", text.c_str());
    sckClientSendMessage("127.0.0.1", SUPERVISOR_PORT, &request, &reply);
}
}  // namespace

int main()
{
    if (FILE *f = fopen("/tmp/bios_mgt.log", "a")) {
        fprintf(f, "started pid=%d\n", static_cast<int>(getpid()));
        fclose(f);
    }
    if (const char *hold = getenv("BIOS_MGT_HOLD")) {
        for (int waited = 0; waited < HOLD_LIMIT_MS && access(hold, F_OK) == 0; waited += HOLD_POLL_MS)
            usleep(HOLD_POLL_MS * 1000);
    }
    if (const char *messages = getenv("BIOS_MGT_MESSAGES")) {
        std::string list = messages;
        for (size_t start = 0; start < list.size();) {
            size_t end = list.find(';', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) report(list.substr(start, end - start));
            start = end + 1;
        }
    }
    const char *status = getenv("BIOS_MGT_EXIT");
    return status ? atoi(status) : 0;
}

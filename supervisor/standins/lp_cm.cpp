// Stand-in for the board process LP_CM, speaking the message socket as the real one does.
//
//   lp_cm serve --record FILE [--answer N | --silent]
//       listens on 23154; each notice is appended to FILE as one line
//       "id=<id> sender=<sender> receiver=<receiver> value=<at 32> payload=<at 60> flag=<byte at 64>",
//       and answered with result N (default 0), or not at all with --silent.
//   lp_cm send ID [--sender PORT] [--value V] [--text T] [--item NAME] [--int OFFSET=V]
//       sends one request to the supervisor (23155), by default as LP_CM (sender 23154), and prints
//       "result=<result> success=<byte at 56>"; exit status 0 on an answer, 1 without one. --text puts
//       a text at 60, --item one at 36, --int a 32-bit value at any offset.
#include "../boardlibs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
int sckServerInit(SckServerContext *context, int port);
int sckServerDoJob(SckServerContext *context, SckJobFunction job);
void sckMessageMakeReply(SckMessage *reply);
int sckClientSendMessage(const char *host, int port, SckMessage *request, SckMessage *reply);
}

namespace {
constexpr int LPCM_PORT = 23154;
constexpr int SUPERVISOR_PORT = 23155;

const char *recordFile;
bool silent;
int32_t answerResult;

int32_t intAt(const SckMessage *m, int offset)
{
    int32_t v;
    memcpy(&v, reinterpret_cast<const char *>(m) + offset, sizeof v);
    return v;
}

int record(SckMessage *request, SckMessage *reply)
{
    if (FILE *f = fopen(recordFile, "a")) {
        fprintf(f, "id=%d sender=%d receiver=%d value=%d payload=%d flag=%d\n", request->id, request->sender,
                request->receiver, request->value, intAt(request, 60),
                reinterpret_cast<const unsigned char *>(request)[64]);
        fclose(f);
    }
    if (silent) return 0;
    memcpy(reply, request, sizeof *reply);
    sckMessageMakeReply(reply);
    reply->result = answerResult;
    return 0;
}

int serve(int argc, char **argv)
{
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--record" && i + 1 < argc) recordFile = argv[++i];
        else if (a == "--answer" && i + 1 < argc) answerResult = atoi(argv[++i]);
        else if (a == "--silent") silent = true;
        else return 2;
    }
    if (!recordFile) return 2;
    SckServerContext context;
    if (sckServerInit(&context, LPCM_PORT) != 0) {
        perror("lp_cm: sckServerInit");
        return 1;
    }
    for (;;) sckServerDoJob(&context, record);
}

int send(int argc, char **argv)
{
    if (argc < 3) return 2;
    SckMessage request{}, reply{};
    request.id = atoi(argv[2]);
    request.sender = LPCM_PORT;
    request.receiver = SUPERVISOR_PORT;
    char *bytes = reinterpret_cast<char *>(&request);
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "--sender") request.sender = atoi(v);
        else if (a == "--value") request.value = atoi(v);
        else if (a == "--text") snprintf(bytes + 60, SCK_PAYLOAD_SIZE, "%s", v);
        else if (a == "--item") strncpy(request.itemName, v, sizeof request.itemName);
        else if (a == "--int") {
            const int offset = atoi(v);
            const char *eq = strchr(v, '=');
            if (!eq || offset < 0 || offset > SCK_MESSAGE_SIZE - 4) return 2;
            const int32_t value = atoi(eq + 1);
            memcpy(bytes + offset, &value, sizeof value);
        } else return 2;
    }
    if (sckClientSendMessage("127.0.0.1", SUPERVISOR_PORT, &request, &reply) != 0) {
        printf("no answer\n");
        return 1;
    }
    printf("result=%d success=%d\n", reply.result, reply.success);
    return 0;
}
}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const int status = mode == "serve" ? serve(argc, argv) : mode == "send" ? send(argc, argv) : 2;
    if (status == 2) fprintf(stderr, "usage: lp_cm serve --record FILE [--answer N|--silent] | lp_cm send ID [options]\n");
    return status;
}

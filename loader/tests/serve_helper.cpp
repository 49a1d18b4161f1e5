// Serves a folder through the NFS server as the loader does, until a flag file appears; then the
// delivery object goes and takes the server with it. Driven by serve_test.sh.
#include "Delivery.h"

#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    constexpr int kMaxWaitRounds = 1200;
    if (argc != 3) {
        std::fprintf(stderr, "usage: serve_helper FOLDER DONE_FLAG\n");
        return 2;
    }
    CDelivery delivery;
    if (!delivery.StartNfsServer(argv[1])) {
        std::fprintf(stderr, "serve_helper: %s %s\n", delivery.LastErrorText().c_str(), delivery.ErrorContext().c_str());
        return 1;
    }
    for (int round = 0; round < kMaxWaitRounds && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++round)
        Sleep(100);
    return 0;
}

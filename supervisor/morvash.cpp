// morvash: the board's start-up supervisor.
#include <cstdio>
#include <cstring>

namespace {
void printHelp()
{
    printf("Following options are recognized:\n");
    printf("\t-help :\t\tdisplay this help and exit.\n");
    printf("\t-noreboot :\tdo not reboot the system on error.\n");
    printf("\t-wd :\t\tstart the hard watchdog and exit.\n");
    printf("\t-nowd :\t\tstop the hard watchdog and exit.\n");
    printf("\t-nobios :\tdo not start the bios manager.\n");
    printf("\t-nolib :\tdo not try to put in place the brenvik libraries.\n");
}
}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-help") == 0) {
            printHelp();
            return 0;
        }
    }
    // The start sequence comes with the modules it starts; until then the supervisor only documents itself.
    printHelp();
    return 1;
}

// morvash: the board's start-up supervisor.
#include <cstdio>

int main()
{
    fprintf(stderr, "usage: morvash [-help] [-noreboot] [-wd|-nowd] [-nobios] [-nolib]\n");
    return 1;
}

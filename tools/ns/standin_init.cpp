// standin_init: process 1 of a board test's PID namespace, in place of the board's init.
//
//   standin_init [--record FILE] [--stay] [--timeout SEC] -- COMMAND [ARGS...]
//
// Runs COMMAND and reaps every orphan, as an init does. Each signal sent to it is appended to FILE as its
// name (a real init takes SIGINT as a reboot request; here it is only recorded). Without --stay it ends
// when COMMAND ends, with COMMAND's status. With --stay it waits, after COMMAND ends, for the rest of the
// namespace (a daemon that forked away) to end or for SIGINT, whichever comes first. --timeout bounds
// the whole run: all processes are killed and the status is 124.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t pending[NSIG];
volatile sig_atomic_t got_interrupt;

void on_signal(int sig)
{
    pending[sig] = 1;
    if (sig == SIGINT) got_interrupt = 1;
}

const int recorded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPWR, SIGWINCH};

void flush_records(const char *record)
{
    for (int sig : recorded_signals) {
        if (!pending[sig]) continue;
        pending[sig] = 0;
        if (!record) continue;
        if (FILE *f = fopen(record, "a")) {
            fprintf(f, "SIG%s\n", sigabbrev_np(sig));
            fclose(f);
        }
    }
}

int usage()
{
    fprintf(stderr, "usage: standin_init [--record FILE] [--stay] [--timeout SEC] -- COMMAND [ARGS...]\n");
    return 2;
}

int exit_status(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *record = nullptr;
    bool stay = false;
    long timeout = 0;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--record" && i + 1 < argc) record = argv[++i];
        else if (a == "--stay") stay = true;
        else if (a == "--timeout" && i + 1 < argc) timeout = strtol(argv[++i], nullptr, 10);
        else if (a == "--") { ++i; break; }
        else return usage();
    }
    if (i >= argc) return usage();

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : recorded_signals) sigaction(sig, &sa, nullptr);
    signal(SIGCHLD, SIG_DFL);

    pid_t main_child = fork();
    if (main_child < 0) { perror("standin_init: fork"); return 1; }
    if (main_child == 0) {
        for (int sig : recorded_signals) signal(sig, SIG_DFL);
        execvp(argv[i], argv + i);
        fprintf(stderr, "standin_init: %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }

    const time_t deadline = timeout > 0 ? time(nullptr) + timeout : 0;
    int result = -1;
    for (;;) {
        flush_records(record);
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == main_child) {
            result = exit_status(status);
            if (!stay) break;
        } else if (pid < 0 && errno == ECHILD) {
            break;
        }
        if (stay && result >= 0 && got_interrupt) break;
        if (deadline && time(nullptr) >= deadline) {
            fprintf(stderr, "standin_init: timed out after %ld s\n", timeout);
            result = 124;
            break;
        }
        if (pid <= 0) usleep(10000);
    }
    flush_records(record);
    // Leaving pid 1 ends the namespace: the kernel kills whatever is left.
    return result < 0 ? 1 : result;
}

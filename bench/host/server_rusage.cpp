// Runs a server as a child and appends the processor time of that child
// alone (user and system, in microseconds, from wait4) to a file, with its
// voluntary and involuntary context switches and its peak resident set
// (KiB), so that the benchmark charges each server for its own work only.
// The child's peak resident set includes what this process had mapped when
// it forked, so it is linked statically and kept small (CMakeLists.txt).  The child keeps
// this process's standard input and output: `sftp -D` talks to it as to
// the server itself.
//
// usage: server_rusage OUTFILE PROGRAM [ARG...]
#include <errno.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: server_rusage OUTFILE PROGRAM [ARG...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("server_rusage: fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror("server_rusage: exec");
        _exit(127);
    }
    int status;
    struct rusage ru;
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            perror("server_rusage: wait4");
            return 2;
        }
    }
    FILE *out = fopen(argv[1], "a");
    if (out == nullptr) {
        perror("server_rusage: output");
        return 2;
    }
    fprintf(out, "%ld %ld %ld %ld %ld\n", ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec,
            ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec, ru.ru_nvcsw, ru.ru_nivcsw,
            ru.ru_maxrss);
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

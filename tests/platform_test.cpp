// The hold on stop signals: a signal that arrives while it is in place waits, is announced
// once, and at the release goes where it would have gone: to the program's own handler,
// to the default (the process ends with that signal), or nowhere when it was ignored.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace {

volatile sig_atomic_t g_seen = 0;
void Record(int number) { g_seen = number; }

TEST(StopHold, TheProgramsHandlerGetsTheSignalAtTheRelease) {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(number);
        struct sigaction own {}, before{}, after{};
        own.sa_handler = Record;
        sigemptyset(&own.sa_mask);
        ASSERT_EQ(sigaction(number, &own, &before), 0);
        g_seen = 0;
        HoldStopRequests(nullptr);
        raise(number);
        raise(number);
        EXPECT_EQ(g_seen, 0);
        ReleaseStopRequests();
        EXPECT_EQ(g_seen, number);
        sigaction(number, &before, &after);
        EXPECT_EQ(after.sa_handler, Record);  // the handler was back in place
    }
}

std::string ReadAll(int fd) {
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

TEST(StopHold, ByDefaultTheFirstSignalHeldEndsTheProcessAtTheRelease) {
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGHUP, SIG_IGN);  // as under nohup: stays ignored
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        HoldStopRequests("held\n");
        raise(SIGHUP);
        raise(SIGTERM);
        raise(SIGINT);
        if (write(1, "released\n", 9) != 9) _exit(3);
        ReleaseStopRequests();
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    const std::string printed = ReadAll(out[0]), notices = ReadAll(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(printed, "released\n");
    EXPECT_EQ(notices, "held\n");
}

}  // namespace

// The hold on stop signals: a signal that arrives while it is in place waits, is announced
// once, and at the release goes where it would have gone: by default the process ends
// with the first one; an ignored one stays ignored. (The program's own handler getting it
// is tested through the library, tests/api_test.cpp.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace {

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

// The clean-up on signals, as the Linux system layer installs it.
#include <csignal>

#include <gtest/gtest.h>

#include "system.hpp"

namespace {

TEST(Cleanup, HandlesEndingSignalsAndLeavesIgnoredOnesIgnored)
{
    // As under nohup: SIGHUP ignored when the program starts.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction by_default = {};
    by_default.sa_handler = SIG_DFL;
    struct sigaction hup_before = {};
    struct sigaction quit_before = {};
    struct sigaction xfsz_before = {};
    sigaction(SIGHUP, &ignore, &hup_before);
    sigaction(SIGQUIT, &by_default, &quit_before);
    sigaction(SIGXFSZ, &by_default, &xfsz_before);

    install_cleanup();

    struct sigaction now = {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "a signal ignored at start stays ignored";
    sigaction(SIGQUIT, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL) << "SIGQUIT cleans up before it ends the program";
    EXPECT_NE(now.sa_handler, SIG_IGN);
    sigaction(SIGXFSZ, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "a write over the size limit fails as a write";

    sigaction(SIGHUP, &hup_before, nullptr);
    sigaction(SIGQUIT, &quit_before, nullptr);
    sigaction(SIGXFSZ, &xfsz_before, nullptr);
}

} // namespace

#include "Interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "Cli.h"

namespace qd500::cli {
namespace {

std::mutex g_lock;
Context* g_current = nullptr;
int g_depth = 0;
int g_pipe[2] = {-1, -1};
struct sigaction g_previousAction;

void OnSigint(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t n = ::write(g_pipe[1], &byte, 1);
    (void)n;
    errno = saved;
}

void Watch() {
    for (;;) {
        char byte;
        ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_current) g_current->Interrupt();
    }
}

}  // namespace

InterruptScope::InterruptScope(Context& ctx) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_pipe[0] < 0) {
        if (::pipe2(g_pipe, O_CLOEXEC) != 0)
            g_pipe[0] = g_pipe[1] = -1;
        else
            std::thread(Watch).detach();
    }
    m_previous = g_current;
    g_current = &ctx;
    if (g_depth++ == 0 && g_pipe[1] >= 0) {
        struct sigaction action = {};
        action.sa_handler = OnSigint;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a blocking read of a script from the terminal ends.
        action.sa_flags = 0;
        ::sigaction(SIGINT, &action, &g_previousAction);
    }
}

InterruptScope::~InterruptScope() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_current = m_previous;
    if (--g_depth == 0 && g_pipe[1] >= 0) ::sigaction(SIGINT, &g_previousAction, nullptr);
}

}  // namespace qd500::cli

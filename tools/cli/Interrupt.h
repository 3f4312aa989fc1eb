// Ctrl-C while a command runs: the signal handler only writes a byte to a
// pipe; a watcher thread reads it and interrupts the running command's
// context (qd500_cancel ends the reader's wait), which is not safe to do
// inside a handler.
#pragma once

namespace qd500::cli {

class Context;

// While one lives, SIGINT interrupts ctx instead of ending the process.
class InterruptScope {
public:
    explicit InterruptScope(Context& ctx);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    Context* m_previous;
};

}  // namespace qd500::cli

#include <ostream>

#include "tools/cli/Cli.h"

namespace qd500::cli {

int RunDemo(Context& ctx) {
    ctx.err << "qd500: the simulator is not built in yet\n";
    return kFailed;
}

}  // namespace qd500::cli

#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return qd500::cli::Main(args, std::cout, std::cerr, std::cin);
}

#include <iostream>
#include <string>
#include <vector>

#include "Cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return qd500::cli::Main(args, std::cout, std::cerr, std::cin);
}

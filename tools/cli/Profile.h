// Personalisation profiles: a CPU card's file system described one step a
// line, checked as a whole before the first step is sent.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Cli.h"

namespace qd500::cli {

inline constexpr const char kProfileHelp[] =
    "A profile holds one step per line; # starts a comment, blank lines are skipped.\n"
    "  deletemf              erase the master file (answers 9000 or 6A81 count as done)\n"
    "  createmf              create the master file 1PAY.SYS.DDF01\n"
    "  endmf                 end the master file's creation\n"
    "  createdf HEX          create a dedicated file from its description\n"
    "  enddf FID             end the creation of dedicated file FID\n"
    "  createfile HEX        create an elementary file (7-byte description)\n"
    "  select FID            select file FID (2 bytes)\n"
    "  writekey HEX          write a key record\n"
    "  writebin HEX          write the selected binary file\n"
    "  appendrecord HEX      append a record to the selected record file\n"
    "Every step must be answered 9000; the run stops at the first that is not.";

struct ProfileStep {
    int line = 0;
    std::string keyword;
    std::string argument;  // normalised hex, empty for steps without one
};

// Throws UsageError naming the file and line of the first bad step.
std::vector<ProfileStep> ParseProfile(std::istream& in, const std::string& source);

// Runs the steps on the session's reader; o gets one field per step done
// and the outcome of the last one.
void RunProfile(Context& ctx, qd500_reader* r, const std::vector<ProfileStep>& steps, CommandResult& o);

}  // namespace qd500::cli

#include "Profile.h"

#include <istream>

#include "qd500dll.h"

namespace qd500::cli {
namespace {

using NoInput = short (*)(char*, char*, char*);
using WithInput = short (*)(char*, char*, char*, const char*);

struct StepKind {
    const char* keyword;
    int bytes;  // -1: no argument, 0: any non-empty hex of up to 255 bytes, n: exactly n bytes
    NoInput plain;
    WithInput withInput;
};

const StepKind kSteps[] = {
    {"deletemf", -1, MW_CPUDeleteMF, nullptr},
    {"createmf", -1, MW_CPUCreateMF, nullptr},
    {"endmf", -1, MW_CPUCreateEndMF, nullptr},
    {"createdf", 0, nullptr, MW_CPUCreateDF},
    {"enddf", 2, nullptr, MW_CPUCreateEndDF},
    {"createfile", 7, nullptr, MW_CPUCreateFile},
    {"select", 2, nullptr, MW_CPUSelectFile},
    {"writekey", 0, nullptr, MW_CPUWriteKey},
    {"writebin", 0, nullptr, MW_CPUWriteBin},
    {"appendrecord", 0, nullptr, MW_CPUAppendRecord},
};

const StepKind* Find(const std::string& keyword) {
    for (const StepKind& k : kSteps)
        if (keyword == k.keyword) return &k;
    return nullptr;
}

}  // namespace

std::vector<ProfileStep> ParseProfile(std::istream& in, const std::string& source) {
    std::vector<ProfileStep> steps;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::string where = source + ":" + std::to_string(number) + ": ";
        std::vector<std::string> words;
        try {
            words = SplitWords(line);
        } catch (const UsageError& e) {
            throw UsageError(where + e.what());
        }
        if (words.empty()) continue;
        const StepKind* kind = Find(words[0]);
        if (!kind) throw UsageError(where + "unknown step '" + words[0] + "'");
        ProfileStep step{number, words[0], ""};
        if (kind->bytes < 0) {
            if (words.size() != 1) throw UsageError(where + words[0] + " takes no argument");
        } else {
            if (words.size() < 2) throw UsageError(where + words[0] + " needs hex data");
            std::string joined;
            for (size_t i = 1; i < words.size(); ++i) joined += words[i];
            try {
                step.argument = NormaliseHex(joined, words[0]);
            } catch (const UsageError& e) {
                throw UsageError(where + e.what());
            }
            size_t n = step.argument.size() / 2;
            if (kind->bytes > 0 && n != static_cast<size_t>(kind->bytes))
                throw UsageError(where + words[0] + " takes exactly " + std::to_string(kind->bytes) + " bytes");
            if (n == 0 || n > 255) throw UsageError(where + words[0] + " takes 1 to 255 bytes");
        }
        steps.push_back(step);
    }
    if (steps.empty()) throw UsageError(source + ": the profile holds no step");
    return steps;
}

void RunProfile(const std::vector<ProfileStep>& steps, Outcome& o) {
    int done = 0;
    for (const ProfileStep& step : steps) {
        const StepKind* kind = Find(step.keyword);
        char sw[8] = {}, resp[520] = {}, msg[64] = {};
        short rc = kind->plain ? kind->plain(sw, resp, msg) : kind->withInput(sw, resp, msg, step.argument.c_str());
        std::string label = "line " + std::to_string(step.line) + " " + step.keyword;
        bool ok;
        if (kind->plain == MW_CPUDeleteMF) {
            // This step folds the card's answer into its result: 1 done.
            ok = rc == 1;
            o.Library(ok ? 0 : -1, msg);
        } else {
            ok = rc == 0 && std::string(sw) == "9000";
            o.Library(rc, msg);
        }
        o.Field(label, std::string("sw ") + sw + (resp[0] ? std::string(" response ") + resp : ""));
        if (!ok) {
            o.Fail(label + " answered sw " + sw + " (result " + std::to_string(rc) + ": " + o.message + ")");
            return;
        }
        ++done;
    }
    o.Field("steps", std::to_string(done));
}

}  // namespace qd500::cli


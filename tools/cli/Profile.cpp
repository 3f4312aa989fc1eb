#include "Profile.h"

#include <istream>

#include "StatusWords.h"

namespace qd500::cli {
namespace {

struct StepKind {
    const char* keyword;
    int bytes;  // -1: no argument, 0: any non-empty hex of up to 255 bytes, n: exactly n bytes
    int step;   // of qd500_personalise
};

const StepKind kSteps[] = {
    {"deletemf", -1, QD500_DELETE_MF},        {"createmf", -1, QD500_CREATE_MF}, {"endmf", -1, QD500_END_MF},
    {"createdf", 0, QD500_CREATE_DF},         {"enddf", 2, QD500_END_DF},        {"createfile", 7, QD500_CREATE_FILE},
    {"select", 2, QD500_SELECT_FILE},         {"writekey", 0, QD500_WRITE_KEY},  {"writebin", 0, QD500_WRITE_BINARY},
    {"appendrecord", 0, QD500_APPEND_RECORD},
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

void RunProfile(Context& ctx, qd500_reader* r, const std::vector<ProfileStep>& steps, CommandResult& o) {
    int done = 0;
    for (const ProfileStep& step : steps) {
        const StepKind* kind = Find(step.keyword);
        std::vector<uint8_t> input = ParseHex(step.argument, step.keyword);
        uint8_t resp[QD500_RESPONSE_MAX];
        size_t n = 0;
        std::string label = "line " + std::to_string(step.line) + " " + step.keyword;
        if (!ctx.Done(o, qd500_personalise(r, kind->step, input.data(), input.size(), resp, sizeof resp, &n))) {
            o.error = label + " failed" + (o.error.empty() ? "" : ": " + o.error);
            return;
        }
        unsigned sw = n >= 2 ? static_cast<unsigned>(resp[n - 2] << 8 | resp[n - 1]) : 0;
        o.Field(label, "sw " + SwText(sw) + " " + SwMeaning(sw) + (n > 2 ? ", response " + ToHex(resp, n - 2) : ""));
        // Erasing a card that has no master file left is done as well.
        bool ok = sw == 0x9000 || (kind->step == QD500_DELETE_MF && sw == 0x6A81);
        if (!ok) {
            o.Fail(label + " answered sw " + SwText(sw) + " (" + SwMeaning(sw) + ")");
            return;
        }
        ++done;
    }
    o.Field("steps", std::to_string(done));
}

}  // namespace qd500::cli

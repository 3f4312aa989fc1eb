#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Hex.h"
#include "Simulator.h"

namespace qd500sim {

using nlohmann::json;

Scenario Scenario::Default() {
    Scenario s;
    s.card = CardConfig{};
    return s;
}

Scenario Scenario::WithCard(const std::string& type) {
    Scenario s = Default();
    s.card->type = type;
    return s;
}

namespace {

struct Bad : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void OnlyKeys(const json& obj, const std::string& where, std::set<std::string> allowed) {
    if (!obj.is_object()) throw Bad(where + ": expected an object");
    for (auto it = obj.begin(); it != obj.end(); ++it)
        if (!allowed.count(it.key())) throw Bad(where + ": unknown key \"" + it.key() + "\"");
}

Bytes HexField(const json& v, const std::string& where) {
    if (!v.is_string()) throw Bad(where + ": expected a hex string");
    std::string text;
    for (char c : v.get<std::string>())
        if (c != ' ') text += c;
    Bytes b;
    if (!ParseHex(text, b)) throw Bad(where + ": not an even-length hex string");
    return b;
}

unsigned Count(const json& v, const std::string& where, unsigned max = 0xFFFFFFFFu) {
    if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > max)
        throw Bad(where + ": expected a number from 0 to " + std::to_string(max));
    return static_cast<unsigned>(v.get<long long>());
}

std::optional<std::string> Track(const json& v, const std::string& where) {
    if (v.is_null()) return std::nullopt;  // a track the head can't read
    if (!v.is_string()) throw Bad(where + ": expected a string or null");
    return v.get<std::string>();
}

FaultRule ParseFault(const json& f, const std::string& where) {
    OnlyKeys(
        f, where,
        {"kind", "command", "skip", "times", "probability", "bytes", "at", "pause_ms", "delay_ms", "status", "size"});
    FaultRule r;
    static const std::pair<const char*, FaultKind> kinds[] = {
        {"noise", FaultKind::Noise},       {"split", FaultKind::Split},    {"delay", FaultKind::Delay},
        {"no_etx", FaultKind::NoEtx},      {"bad_bcc", FaultKind::BadBcc}, {"status", FaultKind::Status},
        {"oversize", FaultKind::Oversize}, {"hangup", FaultKind::Hangup}};
    if (!f.contains("kind") || !f["kind"].is_string()) throw Bad(where + ": \"kind\" missing");
    bool known = false;
    for (auto& [name, kind] : kinds)
        if (f["kind"] == name) {
            r.kind = kind;
            known = true;
        }
    if (!known) throw Bad(where + ": unknown kind \"" + f["kind"].get<std::string>() + "\"");
    if (f.contains("command")) {
        if (!f["command"].is_string()) throw Bad(where + ".command: expected a string");
        r.command = f["command"].get<std::string>();
        Bytes b;
        if (r.command != "mag" && (!ParseHex(r.command, b) || b.size() != 1))
            throw Bad(where + ".command: a command code such as \"55\", or \"mag\"");
    }
    if (f.contains("skip")) r.skip = Count(f["skip"], where + ".skip");
    if (f.contains("times")) r.times = Count(f["times"], where + ".times");
    if (f.contains("probability")) {
        if (!f["probability"].is_number() || f["probability"].get<double>() < 0 || f["probability"].get<double>() > 1)
            throw Bad(where + ".probability: expected a number from 0 to 1");
        r.probability = f["probability"].get<double>();
    }
    if (f.contains("bytes")) r.noise_bytes = Count(f["bytes"], where + ".bytes", 4096);
    if (f.contains("at")) r.split_at = static_cast<int>(Count(f["at"], where + ".at", 65535));
    if (f.contains("pause_ms")) r.pause_ms = Count(f["pause_ms"], where + ".pause_ms", 600000);
    if (f.contains("delay_ms")) r.delay_ms = Count(f["delay_ms"], where + ".delay_ms", 600000);
    if (f.contains("size")) r.size = Count(f["size"], where + ".size", 1 << 20);
    if (f.contains("status")) {
        if (!f["status"].is_string() || f["status"].get<std::string>().size() != 2)
            throw Bad(where + ".status: expected two characters such as \"41\"");
        r.status = f["status"].get<std::string>();
        Bytes b;
        if (!ParseHex(r.status, b)) throw Bad(where + ".status: expected two hex digits");
    }
    return r;
}

uint8_t b0(unsigned fid) { return static_cast<uint8_t>(fid >> 8); }
uint8_t b1(unsigned fid) { return static_cast<uint8_t>(fid); }

unsigned Fid(const json& v, const std::string& where) {
    Bytes b = HexField(v, where);
    if (b.size() != 2) throw Bad(where + ": a file identifier of four hex digits");
    return (b[0] << 8) | b[1];
}

// A DF has "children" (and may have "name" and "pins"); an EF has "data".
FileEntry ParseFile(const json& f, const std::string& where) {
    OnlyKeys(f, where, {"fid", "name", "pins", "children", "data", "update_pin"});
    if (!f.contains("fid")) throw Bad(where + ".fid: missing");
    FileEntry entry;
    entry.fid = Fid(f["fid"], where + ".fid");
    entry.df = !f.contains("data");
    if (entry.df) {
        if (f.contains("update_pin")) throw Bad(where + ": \"update_pin\" belongs to an EF");
        if (f.contains("name")) entry.name = HexField(f["name"], where + ".name");
        if (entry.name.size() > 16) throw Bad(where + ".name: at most 16 bytes");
        if (f.contains("pins")) {
            if (!f["pins"].is_array()) throw Bad(where + ".pins: expected an array");
            for (size_t i = 0; i < f["pins"].size(); ++i) {
                const json& p = f["pins"][i];
                const std::string pw = where + ".pins[" + std::to_string(i) + "]";
                OnlyKeys(p, pw, {"ref", "value", "tries"});
                if (!p.contains("ref") || !p.contains("value")) throw Bad(pw + ": \"ref\" and \"value\" needed");
                FileEntry::Pin pin;
                pin.ref = Count(p["ref"], pw + ".ref", 255);
                pin.value = HexField(p["value"], pw + ".value");
                if (pin.ref == 0 || pin.value.empty()) throw Bad(pw + ": ref from 1, value not empty");
                if (p.contains("tries")) pin.tries = static_cast<int>(Count(p["tries"], pw + ".tries", 15));
                if (pin.tries == 0) throw Bad(pw + ".tries: from 1 to 15");
                entry.pins.push_back(pin);
            }
        }
        if (f.contains("children")) {
            if (!f["children"].is_array()) throw Bad(where + ".children: expected an array");
            for (size_t i = 0; i < f["children"].size(); ++i) {
                FileEntry c = ParseFile(f["children"][i], where + ".children[" + std::to_string(i) + "]");
                if (c.fid == 0x3F00) throw Bad(where + ": 3F00 is the MF's identifier");
                for (auto& other : entry.children)
                    if (other.fid == c.fid)
                        throw Bad(where + ": two children with the identifier " + ToHex({b0(c.fid), b1(c.fid)}));
                entry.children.push_back(std::move(c));
            }
        }
    } else {
        if (f.contains("name") || f.contains("pins") || f.contains("children"))
            throw Bad(where + ": an EF (with \"data\") has no name, pins or children");
        entry.data = HexField(f["data"], where + ".data");
        if (entry.data.empty() || entry.data.size() > 8192) throw Bad(where + ".data: from 1 to 8192 bytes");
        if (f.contains("update_pin")) entry.update_pin = Count(f["update_pin"], where + ".update_pin", 255);
    }
    return entry;
}

Scenario Parse(const json& j) {
    OnlyKeys(j, "scenario", {"card", "magnetic", "device", "faults", "seed"});
    Scenario s = Scenario::Default();
    if (j.contains("card")) {
        const json& c = j["card"];
        OnlyKeys(c, "card",
                 {"type", "atr", "memory", "protection", "psc", "error_counter", "erased", "files", "protocol"});
        if (!c.contains("type") || !c["type"].is_string()) throw Bad("card.type: missing");
        const std::string type = c["type"];
        if (type == "none") {
            s.card.reset();
        } else {
            CardConfig cfg;
            const CardTypeInfo* info = FindCardType(type);
            cfg.type = info ? info->name : type;
            if (c.contains("atr")) cfg.atr = HexField(c["atr"], "card.atr");
            if (c.contains("memory")) cfg.memory = HexField(c["memory"], "card.memory");
            if (c.contains("protection")) cfg.protection = HexField(c["protection"], "card.protection");
            if (c.contains("psc")) cfg.psc = HexField(c["psc"], "card.psc");
            if (c.contains("error_counter"))
                cfg.error_counter = static_cast<int>(Count(c["error_counter"], "card.error_counter", 255));
            if (c.contains("erased")) {
                if (!c["erased"].is_boolean()) throw Bad("card.erased: expected true or false");
                cfg.erased = c["erased"];
            }
            if (c.contains("files")) {
                cfg.files = ParseFile(c["files"], "card.files");
                if (cfg.files->fid != 0x3F00 || !cfg.files->df) throw Bad("card.files: the MF, a DF with fid 3F00");
            }
            if (c.contains("protocol")) {
                if (c["protocol"] != "T=0" && c["protocol"] != "T=1") throw Bad("card.protocol: \"T=0\" or \"T=1\"");
                cfg.t1 = c["protocol"] == "T=1";
            }
            std::string error;
            if (!MakeCard(cfg, &error)) throw Bad("card: " + error);
            s.card = cfg;
        }
    }
    if (j.contains("magnetic")) {
        const json& m = j["magnetic"];
        OnlyKeys(m, "magnetic", {"track2", "track3", "swipe"});
        if (m.contains("track2")) s.track2 = Track(m["track2"], "magnetic.track2");
        if (m.contains("track3")) s.track3 = Track(m["track3"], "magnetic.track3");
        if (m.contains("swipe")) {
            const json& w = m["swipe"];
            if (w == "always") {
                s.swipe = SwipeMode::Always;
            } else if (w == "never") {
                s.swipe = SwipeMode::Never;
            } else if (w.is_number_integer()) {
                s.swipe = SwipeMode::AfterDelay;
                s.swipe_delay_ms = Count(w, "magnetic.swipe", 3600000);
            } else {
                throw Bad("magnetic.swipe: \"always\", \"never\" or a delay in ms");
            }
        }
    }
    if (j.contains("device")) {
        const json& d = j["device"];
        OnlyKeys(d, "device", {"version", "status"});
        if (d.contains("version")) {
            if (!d["version"].is_string() || d["version"].get<std::string>().size() > 120)
                throw Bad("device.version: expected a text of at most 120 characters");
            s.version = d["version"];
        }
        if (d.contains("status")) {
            const json& f = d["status"];
            if (!f.is_array() || f.size() != 3) throw Bad("device.status: expected three two-digit texts");
            std::array<std::string, 3> fields;
            for (size_t i = 0; i < 3; ++i) {
                Bytes b = HexField(f[i], "device.status");
                if (b.size() != 1) throw Bad("device.status: each field is two hex digits");
                fields[i] = ToHex(b);
            }
            s.device_status = fields;
        }
    }
    if (j.contains("seed")) {
        if (!j["seed"].is_number_unsigned() && !j["seed"].is_number_integer()) throw Bad("seed: expected a number");
        s.seed = j["seed"].get<uint64_t>();
    }
    if (j.contains("faults")) {
        if (!j["faults"].is_array()) throw Bad("faults: expected an array of rules");
        for (size_t i = 0; i < j["faults"].size(); ++i)
            s.faults.push_back(ParseFault(j["faults"][i], "faults[" + std::to_string(i) + "]"));
    }
    return s;
}

}  // namespace

std::optional<Scenario> Scenario::FromJson(const std::string& text, std::string* error) {
    try {
        return Parse(json::parse(text));
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

std::optional<Scenario> Scenario::FromFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream os;
    os << in.rdbuf();
    return FromJson(os.str(), error);
}

}  // namespace qd500sim

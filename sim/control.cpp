#include "control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ptzsim {

std::string HexOf(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<uint8_t> BytesOf(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

std::string FormatRules(const std::vector<Rule>& rules) {
    std::string out;
    for (const Rule& rule : rules) {
        char code[8];
        std::snprintf(code, sizeof code, "%X", rule.code);
        out += "rule " + (rule.code < 0 ? std::string("*") : std::string(code));
        if (rule.reply.close) out += " close";
        for (const Chunk& c : rule.reply.chunks) out += " " + std::to_string(c.delayMs) + ":" + HexOf(c.bytes);
        out += "\n";
    }
    return out;
}

std::string FormatFaults(const Faults& f) {
    std::ostringstream out;
    out << "faults nak=" << f.nak << " badack=" << f.badAck << " silent=" << f.silent
        << " truncate=" << f.truncate << " delay=" << f.delayMs << " pieces=" << f.pieces
        << " refuse=" << f.refuseCode << " badbcc=" << f.badBcc << " shortrefuse=" << f.shortRefusal << "\n";
    return out.str();
}

std::string RunControl(Head& head, const std::string& line, const std::function<void()>& drop) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "reset") {
        head.Reset();
        return "ok\n";
    }
    if (verb == "rule") {
        std::string code, word;
        in >> code;
        Rule rule;
        rule.code = code == "*" ? -1 : static_cast<int>(std::strtol(code.c_str(), nullptr, 16));
        while (in >> word) {
            if (word == "close") {
                rule.reply.close = true;
                continue;
            }
            const size_t colon = word.find(':');
            if (colon == std::string::npos) return "error bad chunk " + word + "\n";
            rule.reply.chunks.push_back({std::atoi(word.substr(0, colon).c_str()), BytesOf(word.substr(colon + 1))});
        }
        head.AddRule(rule);
        return "ok\n";
    }
    if (verb == "rules-clear") {
        head.SetRules({});
        return "ok\n";
    }
    if (verb == "faults") {
        Faults f;
        std::string word;
        while (in >> word) {
            const size_t eq = word.find('=');
            if (eq == std::string::npos) return "error bad fault " + word + "\n";
            const std::string key = word.substr(0, eq);
            const int value = static_cast<int>(std::strtol(word.c_str() + eq + 1, nullptr, 0));
            if (key == "nak") f.nak = value;
            else if (key == "badack") f.badAck = value != 0;
            else if (key == "silent") f.silent = value != 0;
            else if (key == "truncate") f.truncate = value != 0;
            else if (key == "delay") f.delayMs = value;
            else if (key == "pieces") f.pieces = value != 0;
            else if (key == "refuse") f.refuseCode = value;
            else if (key == "badbcc") f.badBcc = value != 0;
            else if (key == "shortrefuse") f.shortRefusal = value != 0;
            else return "error unknown fault " + key + "\n";
        }
        head.SetFaults(f);
        return "ok\n";
    }
    if (verb == "requests") {
        std::string out;
        for (const auto& r : head.Requests()) out += HexOf(r) + "\n";
        return out + "end\n";
    }
    if (verb == "clear-requests") {
        head.ClearRequests();
        return "ok\n";
    }
    if (verb == "burns") {
        return std::to_string(head.WithModel([](HeadModel& m) { return m.State().burns; })) + "\n";
    }
    if (verb == "sent") return std::to_string(head.RepliesSent()) + "\n";
    if (verb == "drop") {
        if (drop) drop();
        return "ok\n";
    }
    return "error unknown command " + verb + "\n";
}

}  // namespace ptzsim

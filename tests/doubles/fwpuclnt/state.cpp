#include "state.h"

#include <sstream>

namespace qel::fwpdbl {
namespace {

std::vector<std::uint8_t> bytes_of_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// The "k=v" fields after the record's first two words; name= runs to the end of the line.
struct Fields {
    std::string first;
    std::vector<std::pair<std::string, std::string>> kv;

    bool has(std::string_view k) const {
        for (const auto& kv_pair : kv) {
            if (kv_pair.first == k)
                return true;
        }
        return false;
    }
    std::string get(std::string_view k) const {
        for (const auto& [key, value] : kv) {
            if (key == k)
                return value;
        }
        return {};
    }
    std::uint64_t num(std::string_view k) const {
        const std::string v = get(k);
        return v.empty() ? 0 : std::stoull(v, nullptr, 0);
    }
};

Fields split(std::string_view rest) {
    Fields f;
    std::size_t pos = rest.find(' ');
    f.first = std::string(rest.substr(0, pos));
    while (pos != std::string_view::npos) {
        rest.remove_prefix(pos + 1);
        if (rest.substr(0, 5) == "name=") {
            f.kv.emplace_back("name", std::string(rest.substr(5)));
            break;
        }
        pos = rest.find(' ');
        const std::string_view token = rest.substr(0, pos);
        const std::size_t eq = token.find('=');
        if (eq == std::string_view::npos)
            f.kv.emplace_back(std::string(token), std::string());
        else
            f.kv.emplace_back(std::string(token.substr(0, eq)), std::string(token.substr(eq + 1)));
    }
    return f;
}

}  // namespace

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xf]);
    }
    return out;
}

std::string format_state(const State& s) {
    std::ostringstream out;
    out << "qel-fwpuclnt-double 1\n";
    out << "next-handle " << s.next_handle << "\n";
    out << "memory-outstanding " << s.memory_outstanding << "\n";
    for (const Engine& e : s.engines) {
        out << "engine " << e.handle << " pid=" << e.pid << " authn=" << e.authn
            << " session=" << (e.session ? 1 : 0) << "\n";
    }
    for (const Sublayer& l : s.sublayers) {
        out << "sublayer " << l.key << " weight=" << l.weight << " flags=" << l.flags
            << " name=" << l.name << "\n";
    }
    for (const Filter& f : s.filters) {
        out << "filter " << f.key << " layer=" << f.layer << " sublayer=" << f.sublayer
            << " weight=" << f.weight << " action=0x" << std::hex << f.action << std::dec
            << " flags=" << f.flags << " name=" << f.name << "\n";
        for (const Condition& c : f.conditions) {
            out << "cond " << c.field << " match=" << c.match << " ";
            switch (c.type) {
                case Condition::Type::uint32:
                    out << "uint32=" << c.number;
                    break;
                case Condition::Type::uint64:
                    out << "uint64=" << c.number;
                    break;
                case Condition::Type::blob:
                    out << "blob=" << hex_bytes(c.blob);
                    break;
            }
            out << "\n";
        }
    }
    return out.str();
}

State parse_state(std::string_view text) {
    State s;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t sp = line.find(' ');
        if (sp == std::string_view::npos)
            continue;
        const std::string_view kind = line.substr(0, sp);
        const Fields f = split(line.substr(sp + 1));
        if (kind == "next-handle") {
            s.next_handle = std::stoull(f.first);
        } else if (kind == "memory-outstanding") {
            s.memory_outstanding = std::stoull(f.first);
        } else if (kind == "engine") {
            s.engines.push_back({std::stoull(f.first), static_cast<unsigned long>(f.num("pid")),
                                 static_cast<unsigned>(f.num("authn")), f.num("session") != 0});
        } else if (kind == "sublayer") {
            s.sublayers.push_back({f.first, static_cast<unsigned>(f.num("weight")),
                                   static_cast<unsigned>(f.num("flags")), f.get("name")});
        } else if (kind == "filter") {
            Filter flt;
            flt.key = f.first;
            flt.layer = f.get("layer");
            flt.sublayer = f.get("sublayer");
            flt.weight = f.num("weight");
            flt.action = static_cast<unsigned>(f.num("action"));
            flt.flags = static_cast<unsigned>(f.num("flags"));
            flt.name = f.get("name");
            s.filters.push_back(std::move(flt));
        } else if (kind == "cond" && !s.filters.empty()) {
            Condition c;
            c.field = f.first;
            c.match = static_cast<unsigned>(f.num("match"));
            if (f.has("blob")) {
                c.type = Condition::Type::blob;
                c.blob = bytes_of_hex(f.get("blob"));
            } else if (f.has("uint64")) {
                c.type = Condition::Type::uint64;
                c.number = f.num("uint64");
            } else {
                c.type = Condition::Type::uint32;
                c.number = f.num("uint32");
            }
            s.filters.back().conditions.push_back(std::move(c));
        }
    }
    return s;
}

}  // namespace qel::fwpdbl

#pragma once
// What the fwpuclnt.dll test double holds: the engine handles, sublayers and filters it was
// given, in the order they were added. It lives in a file and is reloaded at every call, so
// that it outlives the process that made it, as objects in the Base Filtering Engine do.
//
// State file format (UTF-8 text, one record per line, fields separated by one blank):
//   qel-fwpuclnt-double 1
//   next-handle <decimal>                 the value the next FwpmEngineOpen0 hands out
//   memory-outstanding <decimal>          blocks handed out (app ids, objects read back) and
//                                         not yet freed with FwpmFreeMemory0
//   engine <handle> pid=<decimal> authn=<decimal> session=<0|1>
//   sublayer <key> weight=<decimal> flags=<decimal> name=<display name to end of line>
//   filter <key> layer=<key> sublayer=<key> weight=<decimal> action=0x<hex> flags=<decimal>
//          name=<display name to end of line>            (one line)
//   cond <field key> match=<decimal> uint32=<decimal>    | uint64=<decimal> | blob=<hex bytes>
// Keys are upper-case 8-4-4-4-12. "cond" lines belong to the filter line above them.
// Engines, sublayers and filters are listed in the order they were added.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::fwpdbl {

struct Condition {
    enum class Type { uint32, uint64, blob };
    std::string field;
    unsigned match = 0;
    Type type = Type::uint32;
    std::uint64_t number = 0;        // uint32 and uint64
    std::vector<std::uint8_t> blob;  // blob
};

struct Filter {
    std::string key, layer, sublayer;
    std::uint64_t weight = 0;
    unsigned action = 0;
    unsigned flags = 0;
    std::string name;
    std::vector<Condition> conditions;
};

struct Sublayer {
    std::string key;
    unsigned weight = 0;
    unsigned flags = 0;
    std::string name;
};

struct Engine {
    std::uint64_t handle = 0;
    unsigned long pid = 0;
    unsigned authn = 0;
    bool session = false;
};

struct State {
    std::uint64_t next_handle = 1;
    std::uint64_t memory_outstanding = 0;
    std::vector<Engine> engines;
    std::vector<Sublayer> sublayers;
    std::vector<Filter> filters;
};

std::string format_state(const State& state);
// Lines it does not understand are skipped.
State parse_state(std::string_view text);

std::string hex_bytes(const std::vector<std::uint8_t>& bytes);

}  // namespace qel::fwpdbl

#pragma once
// Environment variables, read afresh at every call.

#include <string>

namespace qel {

struct EnvValue {
    enum class State { unset, invalid_unicode, set };
    State state = State::unset;
    std::string value;  // UTF-8, when set

    bool is_set() const { return state == State::set; }
};

EnvValue read_env(const char* name);

}  // namespace qel

#include <cstdlib>

#include "common/env.h"
#include "common/utf.h"

namespace qel {

EnvValue read_env(const char* name) {
    const char* v = std::getenv(name);
    if (!v)
        return {};
    if (!is_valid_utf8(v))
        return {EnvValue::State::invalid_unicode, {}};
    return {EnvValue::State::set, v};
}

}  // namespace qel

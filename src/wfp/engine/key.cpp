#include "wfp/engine/key.h"

#include <cstdlib>

#include "common/random.h"

namespace qel::wfp {

GUID new_wfp_key() {
    UuidBytes random{};
    // The system RNG fails only on invalid arguments; a key that is not random could collide
    // with an object left in the engine, so there is no weaker fallback.
    if (!random_bytes(random))
        std::abort();
    return guid_from_uuid(uuid_v4_from_random(random));
}

KeyPlan KeyPlan::fresh(std::size_t filters) {
    KeyPlan plan{new_wfp_key(), {}};
    plan.filters.reserve(filters);
    for (std::size_t i = 0; i < filters; ++i)
        plan.filters.push_back(new_wfp_key());
    return plan;
}

GUID guid_from_uuid(const UuidBytes& u) {
    GUID g{};
    g.Data1 = static_cast<unsigned long>(u[0]) << 24 | static_cast<unsigned long>(u[1]) << 16 |
              static_cast<unsigned long>(u[2]) << 8 | u[3];
    g.Data2 = static_cast<unsigned short>(u[4] << 8 | u[5]);
    g.Data3 = static_cast<unsigned short>(u[6] << 8 | u[7]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = u[8 + i];
    return g;
}

UuidBytes uuid_of(const GUID& g) {
    UuidBytes u{};
    u[0] = static_cast<std::uint8_t>(g.Data1 >> 24);
    u[1] = static_cast<std::uint8_t>(g.Data1 >> 16);
    u[2] = static_cast<std::uint8_t>(g.Data1 >> 8);
    u[3] = static_cast<std::uint8_t>(g.Data1);
    u[4] = static_cast<std::uint8_t>(g.Data2 >> 8);
    u[5] = static_cast<std::uint8_t>(g.Data2);
    u[6] = static_cast<std::uint8_t>(g.Data3 >> 8);
    u[7] = static_cast<std::uint8_t>(g.Data3);
    for (int i = 0; i < 8; ++i)
        u[8 + i] = g.Data4[i];
    return u;
}

std::string guid_text(const GUID& guid) {
    return uuid_text(uuid_of(guid));
}

}  // namespace qel::wfp

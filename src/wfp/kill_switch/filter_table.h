#pragma once
// The kill switch's filter set as data: one row per filter, in install order.

#include <windows.h>

#include <fwpmu.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "wfp/kill_switch/wfp_ids.h"

namespace qel::wfp {

// Every permit outranks the block-all pair, so a matching permit decides first.
inline constexpr std::uint64_t kWeightPermitLoopback = 0xFFFE0000;
inline constexpr std::uint64_t kWeightPermitTun = 0xFFFD8000;
inline constexpr std::uint64_t kWeightPermitApp = 0xFFFD0000;
inline constexpr std::uint64_t kWeightBlockAll = 0x1000;

// The filters installed together, sharing one condition.
enum class FilterGroup { loopback, tun_interface, app, block_all };

struct FilterRow {
    FilterGroup group;
    std::string_view name;  // the display name, or its beginning when the group has a subject
    const GUID* layer;
    std::uint64_t weight;
    FWP_ACTION_TYPE action;
};

inline constexpr std::array<FilterRow, 8> kFilterTable{{
    {FilterGroup::loopback, "QEL permit loopback (v4)", &kLayerAleAuthConnectV4,
     kWeightPermitLoopback, FWP_ACTION_PERMIT},
    {FilterGroup::loopback, "QEL permit loopback (v6)", &kLayerAleAuthConnectV6,
     kWeightPermitLoopback, FWP_ACTION_PERMIT},
    {FilterGroup::tun_interface, "QEL permit TUN iface v4: ", &kLayerAleAuthConnectV4,
     kWeightPermitTun, FWP_ACTION_PERMIT},
    {FilterGroup::tun_interface, "QEL permit TUN iface v6: ", &kLayerAleAuthConnectV6,
     kWeightPermitTun, FWP_ACTION_PERMIT},
    {FilterGroup::app, "QEL permit app: ", &kLayerAleAuthConnectV4, kWeightPermitApp,
     FWP_ACTION_PERMIT},
    {FilterGroup::app, "QEL permit app: ", &kLayerAleAuthConnectV6, kWeightPermitApp,
     FWP_ACTION_PERMIT},
    {FilterGroup::block_all, "QEL block-all (v4)", &kLayerAleAuthConnectV4, kWeightBlockAll,
     FWP_ACTION_BLOCK},
    {FilterGroup::block_all, "QEL block-all (v6)", &kLayerAleAuthConnectV6, kWeightBlockAll,
     FWP_ACTION_BLOCK},
}};

}  // namespace qel::wfp

#include "common/json_builder.h"

namespace qel {

nlohmann::json JsonBuilder::take() {
    stack_.clear();
    nlohmann::json out = std::move(root_);
    root_ = nullptr;
    return out;
}

nlohmann::json* JsonBuilder::place(nlohmann::json v) {
    if (stack_.empty()) {
        root_ = std::move(v);
        return &root_;
    }
    nlohmann::json& parent = *stack_.back();
    if (parent.is_array()) {
        parent.push_back(std::move(v));
        return &parent.back();
    }
    nlohmann::json& member = parent[key_];
    member = std::move(v);
    return &member;
}

}  // namespace qel

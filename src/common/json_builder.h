#pragma once
// Builds one JSON value from the parser's events, with a stack instead of recursion.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qel {

class JsonBuilder {
  public:
    void value(nlohmann::json v) { place(std::move(v)); }
    void open_object() { stack_.push_back(place(nlohmann::json::object())); }
    void open_array() { stack_.push_back(place(nlohmann::json::array())); }
    // A key that occurs twice in one object keeps the value that comes last.
    void key(std::string k) { key_ = std::move(k); }
    void close() { stack_.pop_back(); }

    // The finished value; the builder starts afresh.
    nlohmann::json take();

  private:
    nlohmann::json* place(nlohmann::json v);

    nlohmann::json root_;
    // The open containers, innermost last. Only the innermost is ever added to, so the
    // pointers into its ancestors stay valid.
    std::vector<nlohmann::json*> stack_;
    std::string key_;
};

}  // namespace qel

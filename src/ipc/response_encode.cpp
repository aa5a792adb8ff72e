#include "common/json_text.h"
#include "ipc/request.h"

namespace qel::ipc {

std::string encode_response(const Response& r) {
    std::string out = "{";
    if (r.id) {
        out += "\"id\":";
        out += to_compact(*r.id);
        out += ',';
    }
    out += r.ok ? "\"ok\":true" : "\"ok\":false";
    if (r.result) {
        out += ",\"result\":";
        out += to_compact(*r.result);
    }
    if (r.error) {
        out += ",\"error\":";
        append_json_string(out, *r.error);
    }
    out += '}';
    return out;
}

}  // namespace qel::ipc

#include "common/json_text.h"
#include "ipc/request.h"

namespace qel::ipc {

std::string encode_response_line(const Response& r) {
    std::string out;
    out.reserve(64 + (r.result_text ? r.result_text->size() : 0) + (r.error ? r.error->size() : 0));
    out += '{';
    if (r.id) {
        out += "\"id\":";
        append_compact(out, *r.id);
        out += ',';
    }
    out += r.ok ? "\"ok\":true" : "\"ok\":false";
    if (r.result_text) {
        out += ",\"result\":";
        out += *r.result_text;
    } else if (r.result) {
        out += ",\"result\":";
        append_compact(out, *r.result);
    }
    if (r.error) {
        out += ",\"error\":";
        append_json_string(out, *r.error);
    }
    out += "}\n";
    return out;
}

}  // namespace qel::ipc

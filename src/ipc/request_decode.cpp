#include <nlohmann/json.hpp>

#include "ipc/byte_cursor.h"
#include "ipc/request.h"
#include "ipc/request_reader.h"

namespace qel::ipc {

Result<Request> decode_request(std::string_view text) {
    ReadMark mark;
    RequestReader reader(text, mark);
    // Not strict: the reader checks what follows the request itself, to name its column.
    const bool parsed = nlohmann::json::sax_parse(
        ByteCursor(text.data(), &mark), ByteCursor(text.data() + text.size(), nullptr), &reader,
        nlohmann::json::input_format_t::json, /*strict=*/false);
    return std::move(reader).take(parsed);
}

}  // namespace qel::ipc

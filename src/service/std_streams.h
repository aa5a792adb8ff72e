#pragma once
// Raw writes to the process's standard streams: bytes go out unchanged (no CRLF translation),
// and a failure to write is ignored.

#include <string_view>

namespace qel::service {

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

}  // namespace qel::service

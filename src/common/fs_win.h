#pragma once
// File-system steps in terms of the Windows API, with the agent's os-error texts.

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.h"

namespace qel::win {

// Creates a folder and every missing parent; an existing folder is success.
Result<void> create_dir_all(const std::wstring& path);

// The attributes of a path, symbolic links followed; nothing when the query fails.
struct FileStatus {
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
    bool is_directory() const;
    bool is_symlink() const;  // a reparse point whose tag has the name-surrogate bit
};
std::optional<FileStatus> file_status(const std::wstring& path);

// A file (not a folder, not a dangling link) exists under this name.
bool is_existing_file(const std::wstring& path);

}  // namespace qel::win

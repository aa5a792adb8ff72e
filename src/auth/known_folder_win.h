#pragma once
// The local application-data folder of a user.

#include <windows.h>

#include <string>

#include "common/error.h"

namespace qel::auth {

// SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE) for the user of `user_token`:
// the folder is created when missing. "SHGetKnownFolderPath: <error>" on failure.
Result<std::wstring> local_app_data(HANDLE user_token);

}  // namespace qel::auth

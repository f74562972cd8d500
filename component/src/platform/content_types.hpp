// Where the content-type table comes from, for tests that supply their own files.
#pragma once

#include <string>

namespace postwing::platform {

// Drops the cached table; the next lookup reads system_file and then $HOME/.mime.types
// (as $HOME is at that moment) over the compiled-in table of common types.
void ReloadContentTypes(std::string system_file = "/etc/mime.types");

}  // namespace postwing::platform

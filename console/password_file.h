// The password of an encrypted database for runs where nobody types it: the
// first line of a file that only its owner may read.
#pragma once

#include <string>

namespace kartova {

// The first line of `path` (without its line break). Raises kivo::Exception
// with a message that says what to change when the file cannot be read, is
// not a regular file, belongs to another user, or can be read or written by
// its group or by others (the rule ssh applies to private keys).
std::string ReadPasswordFile(const std::string& path);

}  // namespace kartova

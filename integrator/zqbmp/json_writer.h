// JSON text from the tool's own data. File names are bytes and JSON strings
// Unicode: a name that is valid UTF-8 is written as it is; in the string's
// value any other byte becomes the four characters \xHH (two lower-case hex
// digits) and a backslash of the name becomes two backslashes, so that the
// bytes come back from the value alone. The JSON text escapes as JSON must.
#pragma once

#include <cstddef>
#include <string>

// The quoted JSON string whose value carries these bytes by the rule above.
std::string json_string(const char* bytes, size_t length);
std::string json_string(const std::string& bytes);

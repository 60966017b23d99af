#pragma once

#include <string>

// The cause of a failed load as a person reads it: the dotted path of the offending value in the
// specification (for example "struct_list[3].geometries[1].radius") and what was wrong with it.
// `what` is an error message; the JSON library's messages carry the value's location as a JSON
// pointer in parentheses after their "[json.exception...]" tag, which becomes the dotted path.
std::string describe_load_error(const std::string& what);

// The dotted form of a JSON pointer: "/struct_list/3/radius" gives "struct_list[3].radius".
std::string dotted_path(const std::string& pointer);

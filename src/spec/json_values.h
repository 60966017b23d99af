#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Rejects a value of the specification: raises the JSON library's type error with the reason,
// which names the value's path in the document.
[[noreturn]] void reject_value(const nlohmann::json& value, const std::string& why);

// Conversions of one JSON value. Numbers accept JSON booleans (0 or 1), signed and unsigned
// integers and floating values; anything else raises. Missing members read through the
// inserting access are null and therefore raise here too.
double read_double(const nlohmann::json& value);
// A value whose magnitude exceeds the largest float raises.
float read_float(const nlohmann::json& value);
// Truncates towards zero; a value outside the int32 range raises.
int32_t read_int32(const nlohmann::json& value);
// Only a JSON boolean is accepted.
bool read_bool(const nlohmann::json& value);
// Only a JSON string is accepted.
std::string read_string(const nlohmann::json& value);

// Replaces every string value that is exactly "Infinity", at any depth, by the number 1e20.
// Object keys are left alone. Works without recursion, so deep nesting cannot exhaust the stack.
void replace_infinity_strings(nlohmann::json& document);

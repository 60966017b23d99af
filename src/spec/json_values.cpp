#include "spec/json_values.h"

#include <cmath>
#include <limits>
#include <vector>

using nlohmann::json;

namespace {

// The JSON library's type error, which names the value's path in the document.
[[noreturn]] void raise_type(const char* wanted, const json& value) {
    const std::string got = value.is_null() ? "nothing (missing or null)" : value.type_name();
    throw json::type_error::create(302, std::string("expected ") + wanted + ", got " + got, &value);
}

// A number that the target type cannot hold, with the value's path.
[[noreturn]] void raise_range(const char* what, const json& value) {
    throw json::out_of_range::create(406, what, &value);
}

}  // namespace

void reject_value(const json& value, const std::string& why) { throw json::type_error::create(302, why, &value); }

double read_double(const json& value) {
    switch (value.type()) {
        case json::value_t::boolean:
            return value.get<bool>() ? 1.0 : 0.0;
        case json::value_t::number_integer:
            return static_cast<double>(value.get<int64_t>());
        case json::value_t::number_unsigned:
            return static_cast<double>(value.get<uint64_t>());
        case json::value_t::number_float:
            return value.get<double>();
        default:
            raise_type("a number", value);
    }
}

float read_float(const json& value) {
    const double v = read_double(value);
    // Converting a value beyond the float range is undefined; such a value cannot be read.
    if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
        raise_range("number beyond the float range", value);
    return static_cast<float>(v);
}

int32_t read_int32(const json& value) {
    constexpr int64_t lowest = std::numeric_limits<int32_t>::min();
    constexpr int64_t highest = std::numeric_limits<int32_t>::max();
    switch (value.type()) {
        case json::value_t::boolean:
            return value.get<bool>() ? 1 : 0;
        case json::value_t::number_integer: {
            const int64_t v = value.get<int64_t>();
            if (v < lowest || v > highest) raise_range("integer out of range", value);
            return static_cast<int32_t>(v);
        }
        case json::value_t::number_unsigned: {
            const uint64_t v = value.get<uint64_t>();
            if (v > static_cast<uint64_t>(highest)) raise_range("integer out of range", value);
            return static_cast<int32_t>(v);
        }
        case json::value_t::number_float: {
            const double v = std::trunc(value.get<double>());
            // The negated comparison also catches NaN.
            if (!(v >= static_cast<double>(lowest) && v <= static_cast<double>(highest)))
                raise_range("integer out of range", value);
            return static_cast<int32_t>(v);
        }
        default:
            raise_type("a number", value);
    }
}

bool read_bool(const json& value) {
    if (!value.is_boolean()) raise_type("a boolean", value);
    return value.get<bool>();
}

std::string read_string(const json& value) {
    if (!value.is_string()) raise_type("a string", value);
    return value.get<std::string>();
}

void replace_infinity_strings(json& document) {
    std::vector<json*> pending{&document};
    while (!pending.empty()) {
        json* node = pending.back();
        pending.pop_back();
        if (node->is_string()) {
            if (node->get_ref<const std::string&>() == "Infinity") *node = 1e20;
        } else if (node->is_structured()) {
            // Iterating an object visits its member values; keys are never touched.
            for (auto& element : *node) pending.push_back(&element);
        }
    }
}

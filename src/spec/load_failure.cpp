#include "spec/load_failure.h"

#include <cctype>

namespace {

bool all_digits(const std::string& token) {
    if (token.empty()) return false;
    for (const char c : token)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// JSON pointer escapes: "~1" stands for "/", "~0" for "~".
std::string unescape(const std::string& token) {
    std::string out;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (token[i] == '~' && i + 1 < token.size() && (token[i + 1] == '0' || token[i + 1] == '1')) {
            out += token[i + 1] == '1' ? '/' : '~';
            ++i;
        } else {
            out += token[i];
        }
    }
    return out;
}

}  // namespace

std::string dotted_path(const std::string& pointer) {
    std::string out;
    std::size_t start = 0;
    while (start < pointer.size()) {
        if (pointer[start] == '/') ++start;
        const std::size_t end = pointer.find('/', start);
        const std::string token = unescape(pointer.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (all_digits(token))
            out += "[" + token + "]";
        else
            out += (out.empty() ? "" : ".") + token;
        if (end == std::string::npos) break;
        start = end;
    }
    return out;
}

std::string describe_load_error(const std::string& what) {
    std::string text = what;
    // Drop the library's "[json.exception.type_error.302] " tag.
    if (text.rfind("[json.exception.", 0) == 0) {
        const std::size_t close = text.find("] ");
        if (close != std::string::npos) text = text.substr(close + 2);
    }
    // Its location, "(/a/0/b) ", becomes the leading dotted path; "()" is the document itself.
    if (text.rfind("(", 0) == 0) {
        const std::size_t close = text.find(") ");
        if (close != std::string::npos) {
            const std::string path = dotted_path(text.substr(1, close - 1));
            text = text.substr(close + 2);
            if (!path.empty()) text = path + ": " + text;
        }
    }
    return text;
}

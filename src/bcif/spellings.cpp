#include "bcif/spellings.hpp"

#include "core/ascii.hpp"
#include "core/lexer.hpp"
#include "core/lowercase.hpp"
#include "core/version.hpp"

namespace quarzel::bcif {

std::unordered_map<std::string, std::string> name_spellings(std::string_view text) {
    std::unordered_map<std::string, std::string> out;
    const VersionResult v = detect_version(text);
    Lexer lexer(v.text, v.version, v.line_offset);
    Token token;
    std::string lowered;
    while (lexer.next(token)) {
        std::string_view name;
        if (token.type == TokenType::Tag) {
            name = token.value;
        } else if (token.type == TokenType::Keyword &&
                   ascii::starts_with_lower(token.value, "data_")) {
            name = token.value.substr(5);
        } else {
            continue;
        }
        lower_into(name, lowered);
        if (lowered != name) out.try_emplace(lowered, name);
    }
    return out;
}

}  // namespace quarzel::bcif

// Reads the tool's JSON output in tests: one object whose values are strings, numbers, booleans,
// null or arrays of strings. Anything else, or anything after the object but a line end, is a
// parse failure, so a test also proves the output is a single well-formed object.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

struct JsonValue {
    enum class Type { String, Number, Bool, Null, Array } type = Type::Null;
    std::string text;               // a string, or a number's or boolean's literal
    std::vector<std::string> items; // an array's strings
    double number() const { return std::strtod(text.c_str(), nullptr); }
};

using JsonObject = std::map<std::string, JsonValue>;

class FlatJsonReader {
public:
    explicit FlatJsonReader(const std::string& text) : text_(text) {}

    std::optional<JsonObject> Read()
    {
        JsonObject object;
        Skip();
        if (!Take('{'))
            return std::nullopt;
        Skip();
        if (!Take('}')) {
            do {
                Skip();
                std::string key;
                if (!String(key))
                    return std::nullopt;
                Skip();
                if (!Take(':'))
                    return std::nullopt;
                Skip();
                JsonValue value;
                if (!Value(value) || object.count(key))
                    return std::nullopt;
                object[key] = value;
                Skip();
            } while (Take(','));
            if (!Take('}'))
                return std::nullopt;
        }
        Skip();
        if (at_ != text_.size())
            return std::nullopt;
        return object;
    }

private:
    void Skip()
    {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }
    bool Take(char c)
    {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Literal(const std::string& word)
    {
        if (text_.compare(at_, word.size(), word) != 0)
            return false;
        at_ += word.size();
        return true;
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c == '\\') {
                if (at_ >= text_.size())
                    return false;
                c = text_[at_++];
                switch (c) {
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case '"':
                case '\\':
                case '/':
                    out += c;
                    break;
                case 'u': {
                    if (at_ + 4 > text_.size())
                        return false;
                    const long code = std::strtol(text_.substr(at_, 4).c_str(), nullptr, 16);
                    at_ += 4;
                    if (code >= 0x80)
                        return false; // the tool escapes only control characters
                    out += static_cast<char>(code);
                    break;
                }
                default:
                    return false;
                }
            } else {
                out += c;
            }
        }
        return Take('"');
    }
    bool Value(JsonValue& value)
    {
        if (at_ >= text_.size())
            return false;
        const char c = text_[at_];
        if (c == '"') {
            value.type = JsonValue::Type::String;
            return String(value.text);
        }
        if (c == '[') {
            value.type = JsonValue::Type::Array;
            ++at_;
            Skip();
            if (Take(']'))
                return true;
            do {
                Skip();
                std::string item;
                if (!String(item))
                    return false;
                value.items.push_back(item);
                Skip();
            } while (Take(','));
            return Take(']');
        }
        if (Literal("true") || Literal("false")) {
            value.type = JsonValue::Type::Bool;
            value.text = c == 't' ? "true" : "false";
            return true;
        }
        if (Literal("null")) {
            value.type = JsonValue::Type::Null;
            return true;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '-' ||
                text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+'))
            ++at_;
        if (at_ == start)
            return false;
        value.type = JsonValue::Type::Number;
        value.text = text_.substr(start, at_ - start);
        return true;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

inline std::optional<JsonObject> ParseFlatJson(const std::string& text)
{
    return FlatJsonReader(text).Read();
}

} // namespace quillon::testing

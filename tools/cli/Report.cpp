#include "Report.h"

#include <cmath>

namespace quillon::cli {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past Unicode's end are not text.
    if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

// Whether the bytes at text[i] are a C1 control in UTF-8.
bool IsC1Control(std::string_view text, std::size_t i)
{
    return i + 1 < text.size() && static_cast<unsigned char>(text[i]) == 0xC2 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F && static_cast<unsigned char>(text[i + 1]) >= 0x80;
}

void AppendHexEscape(std::string& text, unsigned char byte)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    text += escaped;
}

}  // namespace

std::string Printable(std::string_view text)
{
    std::string printable;
    printable.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (IsC1Control(text, i)) {
            AppendHexEscape(printable, byte);
            AppendHexEscape(printable, static_cast<unsigned char>(text[++i]));
        } else if (byte < 0x20 || byte == 0x7F ||
                   (byte == '\\' && i + 1 < text.size() && text[i + 1] == 'x')) {
            AppendHexEscape(printable, byte);
        } else {
            printable += text[i];
        }
    }
    return printable;
}

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            const std::size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                json += "\xEF\xBF\xBD";
                ++i;
            } else if (IsC1Control(text, i)) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
                json += escaped;
                i += 2;
            } else {
                json.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                json += escaped;
            } else {
                json += c;
            }
        }
        ++i;
    }
    return json + "\"";
}

void Report::SetRaw(const std::string& key, std::string json)
{
    for (auto& field : fields_) {
        if (field.first == key) {
            field.second = std::move(json);
            return;
        }
    }
    fields_.emplace_back(key, std::move(json));
}

void Report::Declare(std::initializer_list<const char*> keys)
{
    for (const char* key : keys)
        SetRaw(key, "null");
}

void Report::Set(const std::string& key, std::string_view text) { SetRaw(key, JsonString(text)); }

void Report::Set(const std::string& key, std::int64_t number) { SetRaw(key, std::to_string(number)); }

void Report::Set(const std::string& key, bool flag) { SetRaw(key, flag ? "true" : "false"); }

void Report::Set(const std::string& key, const std::vector<std::string>& texts)
{
    std::string json = "[";
    for (std::size_t i = 0; i < texts.size(); ++i)
        json += (i ? "," : "") + JsonString(texts[i]);
    SetRaw(key, json + "]");
}

void Report::Set(const std::string& key, const std::vector<Object>& objects)
{
    std::string json = "[";
    for (std::size_t i = 0; i < objects.size(); ++i) {
        json += i ? ",{" : "{";
        for (std::size_t j = 0; j < objects[i].size(); ++j)
            json += (j ? "," : "") + JsonString(objects[i][j].first) + ":" + objects[i][j].second;
        json += "}";
    }
    SetRaw(key, json + "]");
}

void Report::SetSeconds(const std::string& key, double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::isfinite(seconds) ? seconds : 0.0);
    SetRaw(key, text);
}

void Report::SetNull(const std::string& key) { SetRaw(key, "null"); }

ExitCode Report::Fail(ExitCode code, std::string reason, std::string message, std::string hint)
{
    reason_ = std::move(reason);
    message_ = std::move(message);
    hint_ = std::move(hint);
    return code;
}

int Report::Finish(ExitCode code, std::FILE* out, std::FILE* err) const
{
    const bool ok = code == ExitCode::Success;
    if (json_) {
        std::string json = "{\"command\":" + JsonString(command_) + ",\"ok\":" + (ok ? "true" : "false") +
                           ",\"exit_code\":" + std::to_string(ToInt(code));
        for (const auto& [key, value] : fields_)
            json += "," + JsonString(key) + ":" + value;
        json += ",\"reason\":" + (ok ? std::string("null") : JsonString(reason_));
        json += ",\"error\":" + (ok ? std::string("null") : JsonString(message_));
        std::fprintf(out, "%s}\n", json.c_str());
    } else {
        for (const auto& line : lines_)
            std::fprintf(out, "%s\n", Printable(line).c_str());
    }
    std::fflush(out);
    if (!ok) {
        std::fprintf(err, "%s\n", Printable("quillon " + command_ + ": " + message_).c_str());
        if (!hint_.empty())
            std::fprintf(err, "  %s\n", Printable(hint_).c_str());
        std::fflush(err);
    }
    return ToInt(code);
}

}  // namespace quillon::cli

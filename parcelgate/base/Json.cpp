#include "base/Json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/Text.h"

namespace pcg {

// ---- values -----------------------------------------------------------------

JsonValue JsonValue::Bool(bool value) {
    JsonValue v;
    v.kind_ = Kind::Bool;
    v.boolean_ = value;
    return v;
}

JsonValue JsonValue::Integer(int64_t value) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.integral_ = true;
    v.integer_ = value;
    v.float_ = static_cast<double>(value);
    v.text_ = std::to_string(value);
    return v;
}

JsonValue JsonValue::Float(double value) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.float_ = value;
    char text[40];
    if (std::isfinite(value)) std::snprintf(text, sizeof text, "%.17g", value);
    else std::snprintf(text, sizeof text, "null");  // JSON has no infinities
    v.text_ = text;
    return v;
}

JsonValue JsonValue::String(const std::string& value) {
    JsonValue v;
    v.kind_ = Kind::String;
    v.text_ = value;
    return v;
}

JsonValue JsonValue::Array() {
    JsonValue v;
    v.kind_ = Kind::Array;
    return v;
}

JsonValue JsonValue::Object() {
    JsonValue v;
    v.kind_ = Kind::Object;
    return v;
}

std::string JsonValue::AsString() const {
    switch (kind_) {
        case Kind::String:
        case Kind::Number: return text_;
        case Kind::Bool: return boolean_ ? "true" : "false";
        default: return std::string();
    }
}

int64_t JsonValue::AsInt64() const {
    switch (kind_) {
        case Kind::Number:
            if (integral_) return integer_;
            if (std::isnan(float_)) return 0;
            if (float_ >= 9223372036854775807.0) return INT64_MAX;
            if (float_ <= -9223372036854775808.0) return INT64_MIN;
            return static_cast<int64_t>(float_);
        case Kind::Bool: return boolean_ ? 1 : 0;
        case Kind::String: {
            const char* begin = text_.c_str();
            char* end = nullptr;
            errno = 0;
            long long value = std::strtoll(begin, &end, 10);
            if (end == begin || *end != '\0' || errno == ERANGE) return 0;
            return value;
        }
        default: return 0;
    }
}

double JsonValue::AsDouble() const {
    switch (kind_) {
        case Kind::Number: return integral_ ? static_cast<double>(integer_) : float_;
        case Kind::Bool: return boolean_ ? 1 : 0;
        case Kind::String: return std::strtod(text_.c_str(), nullptr);
        default: return 0;
    }
}

bool JsonValue::AsBool() const {
    switch (kind_) {
        case Kind::Bool: return boolean_;
        case Kind::Number: return AsDouble() != 0;
        case Kind::String: {
            if (text_.size() != 4) return false;
            std::string lower = text_;
            for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            return lower == "true";
        }
        default: return false;
    }
}

const JsonValue* JsonValue::Find(const std::string& key) const {
    if (kind_ != Kind::Object) return nullptr;
    for (const auto& member : members_)
        if (member.first == key) return &member.second;
    return nullptr;
}

JsonValue& JsonValue::Set(const std::string& key, JsonValue value) {
    if (kind_ != Kind::Object) *this = Object();
    for (auto& member : members_) {
        if (member.first == key) {
            member.second = std::move(value);
            return member.second;
        }
    }
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

std::string JsonValue::GetString(const std::string& key, const std::string& fallback) const {
    const JsonValue* member = Find(key);
    return member ? member->AsString() : fallback;
}

int64_t JsonValue::GetInt64(const std::string& key, int64_t fallback) const {
    const JsonValue* member = Find(key);
    return member ? member->AsInt64() : fallback;
}

JsonValue& JsonValue::Append(JsonValue value) {
    if (kind_ != Kind::Array) *this = Array();
    items_.push_back(std::move(value));
    return items_.back();
}

// ---- reader -----------------------------------------------------------------

// Reads one value from the start of a text, leniently: strings and keys in
// single or double quotes, and whatever follows the first complete value is
// left unread. Each step answers false for text it cannot read.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool ReadDocument(JsonValue& out) {
        SkipBlanks();
        return ReadValue(out, 0);
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    // Consumes c when it comes next.
    bool Take(char c) {
        if (Peek() != c) return false;
        ++pos_;
        return true;
    }
    void SkipBlanks() {
        while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n'))
            ++pos_;
    }

    bool ReadValue(JsonValue& out, int depth);
    bool ReadLiteral(JsonValue& out);
    template <class ReadItem>
    bool ReadItems(char close, ReadItem readItem);
    bool ReadObject(JsonValue& out, int depth);
    bool ReadArray(JsonValue& out, int depth);
    bool ReadString(std::string& out);
    bool ReadEscape(std::string& out, std::wstring& wide);
    bool ReadHex4(unsigned& value);
    static void FlushWide(std::wstring& wide, std::string& out);
    size_t SkipDigits();
    bool ReadNumber(JsonValue& out);

    const std::string& text_;
    size_t pos_ = 0;
};

bool JsonReader::ReadValue(JsonValue& out, int depth) {
    const char c = Peek();
    if (c == '{' || c == '[') {
        if (depth >= kMaxJsonDepth) return false;
        return c == '{' ? ReadObject(out, depth + 1) : ReadArray(out, depth + 1);
    }
    if (c == '"' || c == '\'') {
        out = JsonValue::String(std::string());
        return ReadString(out.text_);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ReadNumber(out);
    return ReadLiteral(out);
}

bool JsonReader::ReadLiteral(JsonValue& out) {
    static const struct {
        const char* word;
        JsonValue (*make)();
    } kLiterals[] = {{"true", [] { return JsonValue::Bool(true); }},
                     {"false", [] { return JsonValue::Bool(false); }},
                     {"null", [] { return JsonValue(); }}};
    for (const auto& literal : kLiterals) {
        const size_t n = std::char_traits<char>::length(literal.word);
        if (text_.compare(pos_, n, literal.word) == 0) {
            pos_ += n;
            out = literal.make();
            return true;
        }
    }
    return false;
}

// The items of an object or array after its opening bracket, separated by
// commas, up to the closing one; readItem reads one item.
template <class ReadItem>
bool JsonReader::ReadItems(char close, ReadItem readItem) {
    ++pos_;  // the opening bracket
    SkipBlanks();
    if (Take(close)) return true;
    for (;;) {
        SkipBlanks();
        if (!readItem()) return false;
        SkipBlanks();
        if (Take(',')) continue;
        return Take(close);
    }
}

bool JsonReader::ReadObject(JsonValue& out, int depth) {
    out = JsonValue::Object();
    return ReadItems('}', [&] {
        std::string key;
        if ((Peek() != '"' && Peek() != '\'') || !ReadString(key)) return false;
        SkipBlanks();
        if (!Take(':')) return false;
        SkipBlanks();
        JsonValue value;
        if (!ReadValue(value, depth)) return false;
        out.Set(key, std::move(value));
        return true;
    });
}

bool JsonReader::ReadArray(JsonValue& out, int depth) {
    out = JsonValue::Array();
    return ReadItems(']', [&] {
        JsonValue value;
        if (!ReadValue(value, depth)) return false;
        out.items_.push_back(std::move(value));
        return true;
    });
}

bool JsonReader::ReadString(std::string& out) {
    const char quote = text_[pos_++];
    std::wstring wide;
    for (;;) {
        if (AtEnd()) return false;
        const char c = text_[pos_++];
        if (c == quote) {
            FlushWide(wide, out);
            return true;
        }
        if (c == '\\') {
            if (!ReadEscape(out, wide)) return false;
            continue;
        }
        FlushWide(wide, out);
        out += c;
    }
}

// One escape after its backslash: "\u" adds a UTF-16 unit to wide, any other
// goes to out.
bool JsonReader::ReadEscape(std::string& out, std::wstring& wide) {
    if (AtEnd()) return false;
    const char e = text_[pos_++];
    if (e == 'u') {
        unsigned unit = 0;
        if (!ReadHex4(unit)) return false;
        wide += static_cast<wchar_t>(unit);
        return true;
    }
    FlushWide(wide, out);
    switch (e) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: out += e; break;  // \" \' \\ \/ and anything else: the character itself
    }
    return true;
}

bool JsonReader::ReadHex4(unsigned& value) {
    if (pos_ + 4 > text_.size()) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = text_[pos_ + i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    pos_ += 4;
    return true;
}

// Text in "\u" escapes is collected as UTF-16 and converted to the ANSI code
// page when a run of escapes ends.
void JsonReader::FlushWide(std::wstring& wide, std::string& out) {
    if (wide.empty()) return;
    const std::string bytes = AnsiFromWide(wide);
    if (!bytes.empty())
        out += bytes;
    else
        out.append(wide.size(), '?');
    wide.clear();
}

// Skips decimal digits; how many there were.
size_t JsonReader::SkipDigits() {
    const size_t start = pos_;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ - start;
}

bool JsonReader::ReadNumber(JsonValue& out) {
    const size_t start = pos_;
    Take('-');
    if (SkipDigits() == 0) return false;
    bool integral = true;
    if (Take('.')) {
        integral = false;
        if (SkipDigits() == 0) return false;
    }
    if (Take('e') || Take('E')) {
        integral = false;
        if (!Take('+')) Take('-');
        if (SkipDigits() == 0) return false;
    }
    const std::string number = text_.substr(start, pos_ - start);
    out = JsonValue();
    out.kind_ = JsonValue::Kind::Number;
    out.text_ = number;
    out.float_ = std::strtod(number.c_str(), nullptr);
    if (integral) {
        errno = 0;
        const long long value = std::strtoll(number.c_str(), nullptr, 10);
        if (errno != ERANGE) {
            out.integral_ = true;
            out.integer_ = value;
        }
    }
    return true;
}

bool ParseJson(const std::string& text, JsonValue& out) {
    JsonValue value;
    JsonReader reader(text);
    if (!reader.ReadDocument(value)) {
        out = JsonValue();
        return false;
    }
    out = std::move(value);
    return true;
}

// ---- writer -----------------------------------------------------------------

namespace {

void WriteString(const std::string& text, std::string& out) {
    out += '"';
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", u);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void WriteValue(const JsonValue& value, std::string& out) {
    switch (value.GetKind()) {
        case JsonValue::Kind::Null: out += "null"; break;
        case JsonValue::Kind::Bool: out += value.AsBool() ? "true" : "false"; break;
        case JsonValue::Kind::Number: out += value.AsString(); break;
        case JsonValue::Kind::String: WriteString(value.AsString(), out); break;
        case JsonValue::Kind::Array: {
            out += '[';
            bool first = true;
            for (const JsonValue& item : value.Items()) {
                if (!first) out += ',';
                first = false;
                WriteValue(item, out);
            }
            out += ']';
            break;
        }
        case JsonValue::Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& member : value.Members()) {
                if (!first) out += ',';
                first = false;
                WriteString(member.first, out);
                out += ':';
                WriteValue(member.second, out);
            }
            out += '}';
            break;
        }
    }
}

}  // namespace

std::string WriteJson(const JsonValue& value) {
    std::string out;
    WriteValue(value, out);
    return out;
}

}  // namespace pcg

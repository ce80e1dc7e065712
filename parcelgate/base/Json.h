// The server's own JSON: a lenient reader and a compact writer.
//
// Reader leniency: strings and object keys may be in single or double quotes;
// whatever follows the first complete value is ignored; unknown escapes keep
// the escaped character. "\uXXXX" escapes are converted to the ANSI code page
// ('?' where it has no such character). Nesting deeper than
// kMaxJsonDepth makes the text unparsable; the reader never recurses further
// and survives any bytes.
//
// Writer: no blanks or line breaks; '"', '\' and control characters are
// escaped; bytes >= 0x80 are written as they are (ANSI text stays ANSI).
// Object members keep their insertion order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pcg {

constexpr int kMaxJsonDepth = 256;

class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    JsonValue() = default;  // null
    static JsonValue Bool(bool value);
    static JsonValue Integer(int64_t value);
    static JsonValue Float(double value);
    static JsonValue String(const std::string& value);
    static JsonValue Array();
    static JsonValue Object();

    Kind GetKind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }
    bool IsObject() const { return kind_ == Kind::Object; }
    bool IsArray() const { return kind_ == Kind::Array; }
    bool IsString() const { return kind_ == Kind::String; }
    bool IsNumber() const { return kind_ == Kind::Number; }

    // Scalars, leniently converted:
    // AsString: a string as it is; a number as its text (as written in the
    //   source when parsed); "true"/"false"; "" for null, arrays and objects.
    // AsInt64: a number (fractions truncated, clamped to the int64 range);
    //   a string holding a decimal integer; true 1; otherwise 0.
    // AsBool: true, a non-zero number, the string "true" (any case).
    std::string AsString() const;
    int64_t AsInt64() const;
    double AsDouble() const;
    bool AsBool() const;

    // Objects. Find returns the member of that key (exact byte comparison)
    // or null. Set replaces the member of that key or appends it. Reading a
    // duplicate key while parsing keeps its last value at the first place.
    const JsonValue* Find(const std::string& key) const;
    JsonValue& Set(const std::string& key, JsonValue value);
    const std::vector<std::pair<std::string, JsonValue>>& Members() const { return members_; }

    // Convenience readers of an object member: fallback when this is not an
    // object or has no such key.
    std::string GetString(const std::string& key, const std::string& fallback = std::string()) const;
    int64_t GetInt64(const std::string& key, int64_t fallback = 0) const;

    // Arrays.
    const std::vector<JsonValue>& Items() const { return items_; }
    JsonValue& Append(JsonValue value);

private:
    friend class JsonReader;
    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    bool integral_ = false;   // Number held exactly in integer_
    int64_t integer_ = 0;
    double float_ = 0;
    std::string text_;        // String value, or a number's source text
    std::vector<std::pair<std::string, JsonValue>> members_;
    std::vector<JsonValue> items_;
};

// Parses the first complete JSON value at the start of text (leading blanks
// allowed). Returns false, leaving out null, when there is none: empty text,
// not JSON, truncated, nested deeper than kMaxJsonDepth. Never throws except
// std::bad_alloc.
bool ParseJson(const std::string& text, JsonValue& out);

// The compact form of value.
std::string WriteJson(const JsonValue& value);

}  // namespace pcg

#include "PCGJson.h"

namespace pcg {

TPCGJsonValue TPCGJsonValue::Bool(bool) { return TPCGJsonValue(); }
TPCGJsonValue TPCGJsonValue::Integer(int64_t) { return TPCGJsonValue(); }
TPCGJsonValue TPCGJsonValue::Float(double) { return TPCGJsonValue(); }
TPCGJsonValue TPCGJsonValue::String(const std::string&) { return TPCGJsonValue(); }
TPCGJsonValue TPCGJsonValue::Array() { return TPCGJsonValue(); }
TPCGJsonValue TPCGJsonValue::Object() { return TPCGJsonValue(); }
std::string TPCGJsonValue::AsString() const { return std::string(); }
int64_t TPCGJsonValue::AsInt64() const { return 0; }
double TPCGJsonValue::AsDouble() const { return 0; }
bool TPCGJsonValue::AsBool() const { return false; }
const TPCGJsonValue* TPCGJsonValue::Find(const std::string&) const { return nullptr; }
TPCGJsonValue& TPCGJsonValue::Set(const std::string& key, TPCGJsonValue value) {
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}
std::string TPCGJsonValue::GetString(const std::string&, const std::string& fallback) const { return fallback; }
int64_t TPCGJsonValue::GetInt64(const std::string&, int64_t fallback) const { return fallback; }
TPCGJsonValue& TPCGJsonValue::Append(TPCGJsonValue value) {
    items_.push_back(std::move(value));
    return items_.back();
}
bool ParseJson(const std::string&, TPCGJsonValue& out) { out = TPCGJsonValue(); return false; }
std::string WriteJson(const TPCGJsonValue&) { return "null"; }

}  // namespace pcg

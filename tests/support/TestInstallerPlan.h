// The plan a test installer carries in its own file: "name=value" lines
// appended to the executable's bytes, then the length of those lines as a
// 32-bit little-endian number and the 8-byte mark "TIPLAN01". The shell
// starts an installer without parameters, so the plan travels with the file
// (and the task's MD5 covers it). make_test_installer.py writes the same.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace testing_support {

constexpr char PlanMark[] = "TIPLAN01";
constexpr size_t PlanMarkSize = sizeof PlanMark - 1;
constexpr size_t PlanFooterSize = 4 + PlanMarkSize;

// The file as it was before Authenticode signing, which appends the
// signature after the plan (with up to 7 zero bytes of alignment before it)
// and names it in the PE header; the bytes as they are when unsigned.
inline std::string WithoutSignature(const std::string& file) {
    auto u32 = [&file](size_t at) {
        if (at + 4 > file.size()) return uint32_t{0};
        const unsigned char* b = reinterpret_cast<const unsigned char*>(file.data() + at);
        return static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24);
    };
    const size_t header = u32(0x3C);
    if (file.compare(0, 2, "MZ") != 0 || file.compare(header, 4, std::string("PE\0\0", 4)) != 0)
        return file;
    const size_t optional = header + 24;
    const bool pe32Plus = (u32(optional) & 0xFFFF) == 0x20B;
    const size_t security = optional + (pe32Plus ? 112 : 96) + 4 * 8;  // data directory 4
    const size_t offset = u32(security), size = u32(security + 4);
    if (offset == 0 || offset + size != file.size()) return file;
    size_t end = offset;
    while (end > 0 && offset - end < 8 && file[end - 1] == '\0') --end;
    std::string bare = file.substr(0, end);
    bare.replace(security, 8, 8, '\0');  // no certificate table any more
    return bare;
}

// The executable's bytes without a plan, and the plan's text (empty when
// the bytes carry none). A signed file's plan is found before its signature.
inline void SplitPlan(const std::string& signedFile, std::string& program, std::string& plan) {
    const std::string file = WithoutSignature(signedFile);
    program = file;
    plan.clear();
    if (file.size() < PlanFooterSize ||
        file.compare(file.size() - PlanMarkSize, PlanMarkSize, PlanMark) != 0)
        return;
    const unsigned char* n =
        reinterpret_cast<const unsigned char*>(file.data() + file.size() - PlanFooterSize);
    const size_t length = n[0] | n[1] << 8 | n[2] << 16 | static_cast<size_t>(n[3]) << 24;
    if (length > file.size() - PlanFooterSize) return;
    const size_t start = file.size() - PlanFooterSize - length;
    plan = file.substr(start, length);
    program = file.substr(0, start);
}

// `program` (any plan it carries replaced) followed by `plan`.
inline std::string WithPlan(const std::string& program, const std::string& plan) {
    std::string bare, old;
    SplitPlan(program, bare, old);
    const uint32_t length = static_cast<uint32_t>(plan.size());
    const char footer[4] = {static_cast<char>(length), static_cast<char>(length >> 8),
                            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
    return bare + plan + std::string(footer, 4) + PlanMark;
}

// "name=value" lines ("\r" ignored, later names win).
inline std::map<std::string, std::string> ParsePlan(const std::string& text) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t equals = line.find('=');
        if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return fields;
}

}  // namespace testing_support

// Test vectors kept in files under tests/crypto/data, one vector per paragraph:
//
//   # RFC 4231, test case 2
//   [HMAC(SHA-256)]
//   Key = "Jefe"
//   In = "what do ya want for nothing?"
//   Out = 5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843
//
// A "[Group]" line names the algorithm of the vectors after it; '#' starts a comment line. A value
// is hex (spaces allowed) or text in double quotes, either optionally followed by "* count" to
// repeat it; numbers and names are read as written (Int, Word).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "test_helpers.h"

namespace tarnwick::testing {

struct TestVector {
    std::string group;
    std::string where;  // file and line, for failure messages
    std::map<std::string, std::string> fields;

    bool Has(const std::string& name) const { return fields.count(name) != 0; }
    // The decoded bytes of a field; an absent field is empty.
    std::vector<std::uint8_t> Bytes(const std::string& name) const {
        const auto found = fields.find(name);
        if (found == fields.end()) return {};
        std::string value = found->second;
        std::size_t count = 1;
        const std::size_t star = value.rfind('*');
        if (star != std::string::npos && value.find('"', star) == std::string::npos) {
            count = std::strtoul(value.c_str() + star + 1, nullptr, 10);
            value.erase(star);
        }
        std::vector<std::uint8_t> one;
        const std::size_t quote = value.find('"');
        if (quote != std::string::npos)
            one.assign(value.begin() + static_cast<std::ptrdiff_t>(quote) + 1,
                       value.begin() + static_cast<std::ptrdiff_t>(value.rfind('"')));
        else if (value.find_first_not_of("0123456789abcdefABCDEF ") != std::string::npos)
            ADD_FAILURE() << where << ": " << name << " is neither hex nor quoted text";
        else
            one = FromHex(value);
        std::vector<std::uint8_t> out;
        out.reserve(one.size() * count);
        for (std::size_t i = 0; i < count; ++i)
            out.insert(out.end(), one.begin(), one.end());
        return out;
    }
    std::string Hex(const std::string& name) const { return ToHex(Bytes(name)); }
    std::string Text(const std::string& name) const {
        const std::vector<std::uint8_t> bytes = Bytes(name);
        return {bytes.begin(), bytes.end()};
    }
    // A value that names something (a mode, a reader), as written.
    std::string Word(const std::string& name) const {
        const auto found = fields.find(name);
        return found == fields.end() ? "" : found->second;
    }
    long long Int(const std::string& name) const {
        return std::strtoll(fields.at(name).c_str(), nullptr, 10);
    }
};

inline std::string Trim(const std::string& s) {
    const std::size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(' ') - first + 1);
}

inline std::vector<TestVector> ReadVectors(const std::string& file) {
    std::ifstream in(std::string(TARNWICK_SOURCE_DIR) + "/tests/crypto/data/" + file);
    EXPECT_TRUE(in.is_open()) << file;
    std::vector<TestVector> vectors;
    std::string group;
    bool open = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            open = false;
        } else if (line[0] == '#') {
        } else if (line[0] == '[') {
            group = line.substr(1, line.find(']') - 1);
            open = false;
        } else {
            if (!open) {
                vectors.push_back({group, file + ":" + std::to_string(number), {}});
                open = true;
            }
            const std::size_t equals = line.find('=');
            EXPECT_NE(equals, std::string::npos) << file << ":" << number;
            if (equals != std::string::npos)
                vectors.back().fields[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
        }
    }
    EXPECT_FALSE(vectors.empty()) << file;
    return vectors;
}

}  // namespace tarnwick::testing

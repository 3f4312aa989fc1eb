// Reading the vector tables of tests/data/vectors, and hex helpers that stay
// independent of the code under test.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qd500test {

using Row = std::vector<std::string>;

// Rows of a tab-separated table: lines starting with '#' and the header line
// (the first other line) are left out.
inline std::vector<Row> ReadTable(const std::string& name) {
    std::vector<Row> rows;
    std::ifstream in(std::string(QD500_VECTOR_DIR) + "/" + name);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (header) {
            header = false;
            continue;
        }
        Row row;
        std::stringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t')) row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

inline std::vector<unsigned char> Bytes(const std::string& hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string Hex(const unsigned char* bytes, size_t n) {
    std::string out;
    char pair[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        out += pair;
    }
    return out;
}

inline std::string Hex(const std::vector<unsigned char>& bytes) { return Hex(bytes.data(), bytes.size()); }

inline std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace qd500test

#include "support/NistVectors.h"

#include <sstream>
#include <stdexcept>

#include "support/Fixtures.h"

namespace velmo::test::vectors {

namespace {

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    const auto end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument(std::string("not a hex digit: ") + c);
}

}  // namespace

const std::string& Record::text(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end()) throw std::out_of_range("vector record has no field " + key);
    return it->second;
}

Bytes Record::bytes(const std::string& key) const { return fromHex(text(key)); }

std::vector<Record> parse(const std::string& text) {
    std::vector<Record> records;
    Record current;
    std::string section;
    std::map<std::string, std::string> parameters;
    auto flush = [&] {
        if (!current.fields.empty() || !current.flags.empty()) records.push_back(std::move(current));
        current = Record{};
        current.section = section;
        current.parameters = parameters;
    };

    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            flush();
            const std::string inner = line.substr(1, line.size() - 2);
            const auto eq = inner.find('=');
            if (eq == std::string::npos) {
                section = trim(inner);
                parameters.clear();
            } else {
                parameters[trim(inner.substr(0, eq))] = trim(inner.substr(eq + 1));
            }
            current.section = section;
            current.parameters = parameters;
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            current.flags.insert(line);
            continue;
        }
        const std::string key = trim(line.substr(0, eq));
        if (current.fields.count(key) != 0) flush();
        current.fields[key] = trim(line.substr(eq + 1));
    }
    flush();
    return records;
}

std::vector<Record> readVectors(const std::string& relativePath) { return parse(readText(cryptoVector(relativePath))); }

Bytes fromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd-length hex: " + hex);
    Bytes out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    return out;
}

std::string toHex(ByteView bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

}  // namespace velmo::test::vectors

// Reader for the "key = value" test-vector files of NIST CAVP (.rsp, .fax) and the RFC
// vector files shipped in the same format.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace velmo::test::vectors {

struct Record {
    // The latest "[name]" line above the record, and the "[key = value]" lines in force.
    std::string section;
    std::map<std::string, std::string> parameters;
    std::map<std::string, std::string> fields;
    // Bare words on their own line, such as FAIL.
    std::set<std::string> flags;

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    const std::string& text(const std::string& key) const;  // fails the test when missing
    Bytes bytes(const std::string& key) const;              // the field as hex
};

// A record ends where one of its keys comes again or a bracketed line starts; blank lines
// and "#" comments are ignored.
std::vector<Record> parse(const std::string& text);

// Reads a file of Debian's python3-cryptography-vectors package.
std::vector<Record> readVectors(const std::string& relativePath);

// Lower- or upper-case hex, no separators; throws on anything else.
Bytes fromHex(const std::string& hex);
std::string toHex(ByteView bytes);

}  // namespace velmo::test::vectors

// The protocol's known answers, tests/fixtures/quickshare-kat.json, read once.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Bytes.h"

namespace velmo::test {

// One top-level section of the file, such as "pin" or "qr".
const nlohmann::json& knownAnswers(const std::string& section);

// A hex field of a known-answer entry as bytes.
Bytes hexField(const nlohmann::json& entry, const std::string& key);

}  // namespace velmo::test

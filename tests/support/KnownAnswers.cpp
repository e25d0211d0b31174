#include "support/KnownAnswers.h"

#include "support/Fixtures.h"
#include "support/NistVectors.h"

namespace velmo::test {

const nlohmann::json& knownAnswers(const std::string& section) {
    static const nlohmann::json all = nlohmann::json::parse(readText(fixture("quickshare-kat.json")));
    return all.at(section);
}

Bytes hexField(const nlohmann::json& entry, const std::string& key) {
    return vectors::fromHex(entry.at(key).get<std::string>());
}

}  // namespace velmo::test

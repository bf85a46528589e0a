#include "station/families.h"

#include <algorithm>
#include <cstdlib>

namespace station {

// Every row file's row, as the build gathers them (familyrows.cpp.in).
std::vector<FamilyRow> rowsOfTheFamilyFiles();

const std::vector<FamilyRow>& familyTable() {
    static const std::vector<FamilyRow> table = [] {
        std::vector<FamilyRow> rows = rowsOfTheFamilyFiles();
        std::sort(rows.begin(), rows.end(),
                  [](const FamilyRow& a, const FamilyRow& b) { return a.rank < b.rank; });
        return rows;
    }();
    return table;
}

const FamilyRow& familyRow(gpslink::ReceiverFamily family) {
    const auto& table = familyTable();
    const auto row = std::find_if(table.begin(), table.end(),
                                  [&](const FamilyRow& r) { return r.family == family; });
    if (row == table.end()) std::abort();  // a family named without its row
    return *row;
}

std::vector<gpslink::ReceiverFamily> listedFamilies() {
    std::vector<const FamilyRow*> rows;
    for (const FamilyRow& row : familyTable()) rows.push_back(&row);
    std::sort(rows.begin(), rows.end(),
              [](const FamilyRow* a, const FamilyRow* b) { return a->listed < b->listed; });
    std::vector<gpslink::ReceiverFamily> families;
    for (const FamilyRow* row : rows) families.push_back(row->family);
    return families;
}

std::optional<gpslink::ReceiverFamily> familyNamed(std::string_view name) {
    for (const FamilyRow& row : familyTable())
        if (row.family.name() == name) return row.family;
    return std::nullopt;
}

std::string startCommand(gpslink::ReceiverFamily family, gpslink::StartType type) {
    return familyRow(family).start(type);
}

namespace families {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool containsNoCase(std::string_view text, std::string_view word) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < word.size() && lower(text[at + i]) == word[i]) ++i;
        if (i == word.size()) return true;
    }
    return false;
}

std::string text(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7E) break;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    while (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return out;
}

std::string hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

std::optional<std::string_view> txtMessage(std::string_view body) {
    if (body.size() < 6 || body[0] == 'P' || body.substr(2, 4) != "TXT,") return std::nullopt;
    const gpslink::NmeaFields f(body);
    if (f.formatter() != "TXT" || f.size() < 5) return std::nullopt;
    return f.from(4);
}

bool acknowledges(const gpslink::NmeaFields& f, std::string_view address, std::string_view command,
                  std::string_view prefix, std::string_view flag) {
    // The command's number after its prefix: "103" of "$PMTK103*30".
    if (!startsWith(command, "$") || !startsWith(command.substr(1), prefix)) return false;
    command.remove_prefix(1 + prefix.size());
    const std::string_view number = command.substr(0, command.find_first_of(",*"));
    return !number.empty() && f.address() == address && f.size() == 3 && f[1] == number &&
           f[2] == flag;
}

}  // namespace families

}  // namespace station

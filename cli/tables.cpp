#include "tables.h"

#include "batch.h"
#include "files.h"
#include "scores.h"

#include <algorithm>
#include <charconv>


namespace corvanel::cli {

std::string csvField(std::string_view raw) {
    const std::string text = printableName(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

std::string csvTable(const Row& header, const std::vector<Row>& rows) {
    std::string out;
    auto line = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + csvField(row[i]);
        out += "\r\n";
    };
    line(header);
    for (const Row& row : rows) line(row);
    return out;
}

std::string markdownTable(const Row& header, const std::vector<Row>& rows) {
    std::string out;
    auto line = [&](const Row& row) {
        out += "|";
        for (const std::string& field : row) {
            std::string cell;
            for (char c : printableName(field)) cell += c == '|' ? std::string("\\|") : std::string(1, c);
            out += " " + cell + " |";
        }
        out += "\n";
    };
    line(header);
    out += "|";
    for (std::size_t i = 0; i < header.size(); ++i) out += i < 2 ? "---|" : "---:|";
    out += "\n";
    for (const Row& row : rows) line(row);
    return out;
}

std::string textTable(const Row& header, const std::vector<Row>& rows) {
    std::vector<std::size_t> width(header.size(), 0);
    for (const Row* row : [&] {
             std::vector<const Row*> all{&header};
             for (const Row& r : rows) all.push_back(&r);
             return all;
         }())
        for (std::size_t i = 0; i < row->size() && i < width.size(); ++i)
            width[i] = std::max(width[i], printableName((*row)[i]).size());
    std::string out;
    auto line = [&](const Row& row) {
        std::string text;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i) text += "  ";
            // Names left, numbers right.
            const std::string field = printableName(row[i]);
            const std::string pad(width[i] - std::min(width[i], field.size()), ' ');
            text += i < 2 ? field + pad : pad + field;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header);
    for (const Row& row : rows) line(row);
    return out;
}

std::string exactNumber(std::optional<double> value) {
    if (!value) return {};
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, *value);
    return std::string(buffer, result.ptr);
}

std::string twoDecimals(std::optional<double> value) { return value ? fixed2(*value) : "---"; }

std::optional<std::string> writeWhole(const std::filesystem::path& path, std::string_view text) {
    return writeWholeFile(path, text);
}

}  // namespace corvanel::cli

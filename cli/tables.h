#pragma once

// The tool's tables: CSV as spreadsheets read it, Markdown, and aligned text.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel::cli {

using Row = std::vector<std::string>;

// One field, quoted when it holds a comma, a quote or a line break (RFC 4180).
std::string csvField(std::string_view text);
// The header and rows, CRLF line ends.
std::string csvTable(const Row& header, const std::vector<Row>& rows);
std::string markdownTable(const Row& header, const std::vector<Row>& rows);
// Columns padded to their widest field, two blanks apart.
std::string textTable(const Row& header, const std::vector<Row>& rows);

// A rate unrounded (the shortest text that reads back as the same double);
// empty when undefined.
std::string exactNumber(std::optional<double> value);
// A rate "%.2f"; "---" when undefined.
std::string twoDecimals(std::optional<double> value);

// Writes `text` to `path` whole or not at all: a temporary file in the same
// folder, renamed into place once complete. The reason when it could not.
std::optional<std::string> writeWhole(const std::filesystem::path& path, std::string_view text);

}  // namespace corvanel::cli

#include "tables.h"

#include "scores.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel::cli {

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
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
            for (char c : field) cell += c == '|' ? std::string("\\|") : std::string(1, c);
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
        for (std::size_t i = 0; i < row->size() && i < width.size(); ++i) width[i] = std::max(width[i], (*row)[i].size());
    std::string out;
    auto line = [&](const Row& row) {
        std::string text;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i) text += "  ";
            // Names left, numbers right.
            const std::string pad(width[i] - row[i].size(), ' ');
            text += i < 2 ? row[i] + pad : pad + row[i];
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
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string temp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return std::generic_category().message(errno);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = errno != 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // The file is the user's: readable as any file they make.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (error == 0 && ::fchmod(fd, 0666 & ~mask) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return std::generic_category().message(error);
    }
    return std::nullopt;
}

}  // namespace corvanel::cli

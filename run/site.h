#pragma once

// A run published as a static site that opens from the disk: index.html with
// the leaderboards (or one participant's totals), a page a participant with
// its per-page table, the sweep's plot, and the error images as thumbnails.
// Plain HTML with its style and a few lines of script inline: no request
// leaves the folder.

#include "run/results.h"
#include "run/writers.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvanel {

struct SiteContent {
    BoardFacts facts{};
    std::vector<std::string> pages{};                    // the workspace's, in list order
    std::vector<Standing> standings{};                   // a ranking's, best first; or one participant's
    std::optional<Level> onlyLevel{};                    // one participant's evaluation at this level
    std::optional<std::string> plot{};                   // the sweep's plot, a file name inside the site
    std::optional<std::filesystem::path> errorImages{};  // their folder, relative to the site
    bool rankedErrorImages = false;                      // a folder a participant in it
};

// Writes the site into `folder` (made if missing), each file whole or not
// at all, index.html last. The failure of the first file that could not be written.
std::optional<Failure> writeSite(const std::filesystem::path& folder, const SiteContent& content);

// `folder` as a path relative to `site`, when it lies inside it.
std::optional<std::filesystem::path> insideSite(const std::filesystem::path& folder, const std::filesystem::path& site);

}  // namespace corvanel

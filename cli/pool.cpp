// corvanel-eval pool: pages scored apart (the shards of a cluster run, each
// written with --json) pooled into the totals one batch over them all gives.

#include "cli/evaluator.h"
#include "cli/services.h"
#include "run/writers.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>

namespace corvanel::cli {

namespace fs = std::filesystem;
using Json = nlohmann::json;

CLI::App* addPoolCommand(CLI::App& app, Options& o) {
    CLI::App* pool = app.add_subcommand(
        "pool", "Pool the pages of JSON files written by corvanel-eval --json (whole runs or single pages with\n"
                "--page) into the totals one run over all those pages prints. The files must share the level,\n"
                "the threshold and the weights, and no page may be in two of them. A FOLDER stands for every\n"
                "FOLDER/*.json. --json FILE also writes the pooled totals as JSON.");
    pool->add_option("FILE", o.pool.files, "JSON files written by corvanel-eval --json, or folders of them")->type_name("FILE")->required();
    pool->add_option("--json", o.json, "Also write the pooled totals as JSON to FILE")->type_name("FILE");
    return pool;
}

namespace {

// What one file says of the run it comes from, and its pages' sums.
struct Shard {
    std::string workspace, level;
    std::int32_t threshold = 0;
    Weights weights;
};

std::string weightsText(const Weights& w) {
    return std::to_string(w.w1) + "," + std::to_string(w.w2) + "," + std::to_string(w.w3);
}

}  // namespace

int runPool(const Options& o, std::ostream& out, std::ostream& err) {
    std::optional<Shard> first;
    fs::path firstFile;
    Counts sums;
    std::int64_t pages = 0;
    std::map<std::string, fs::path> seen;  // page name: the file it came from
    const auto fail = [&](const fs::path& file, const std::string& why) {
        err << "corvanel-eval: " << printableName(file.string()) << ": " << printableName(why) << "\n";
        return kFailure;
    };
    // A folder stands for its .json files, so a cluster's thousands of shards need no long command line.
    std::vector<fs::path> files;
    for (const fs::path& given : o.pool.files) {
        std::error_code ec;
        if (!fs::is_directory(given, ec)) {
            files.push_back(given);
            continue;
        }
        std::vector<fs::path> inside;
        for (fs::directory_iterator it(given, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".json") inside.push_back(it->path());
        if (ec) return fail(given, "cannot be listed: " + ec.message());
        if (inside.empty()) return fail(given, "holds no .json file");
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) return fail(file, "cannot be read");
        Json doc;
        try {
            doc = Json::parse(in);
        } catch (const Json::exception& e) {
            return fail(file, std::string("not JSON: ") + e.what());
        }
        try {
            if (!doc.is_object() || !doc.contains("pages") || !doc.contains("level"))
                return fail(file, "holds no pages of one level (written by corvanel-eval --json without rank?)");
            Shard shard;
            shard.workspace = doc.value("workspace", "");
            shard.level = doc.at("level").get<std::string>();
            shard.threshold = doc.at("threshold").get<std::int32_t>();
            const auto w = doc.at("weights").get<std::vector<std::int64_t>>();
            if (w.size() != 3) return fail(file, "its weights are not three numbers");
            shard.weights = {w[0], w[1], w[2]};
            if (!first) {
                first = shard;
                firstFile = file;
            } else if (shard.level != first->level || shard.threshold != first->threshold ||
                       weightsText(shard.weights) != weightsText(first->weights)) {
                return fail(file, "scored at level " + shard.level + ", threshold " + std::to_string(shard.threshold) +
                                      ", weights " + weightsText(shard.weights) + "; " + firstFile.string() +
                                      " at level " + first->level + ", threshold " + std::to_string(first->threshold) +
                                      ", weights " + weightsText(first->weights) + ": they do not pool");
            }
            for (const Json& page : doc.at("pages")) {
                if (!page.at("evaluated").get<bool>()) continue;
                const std::string name = page.at("name").get<std::string>();
                if (auto [at, fresh] = seen.emplace(name, file); !fresh)
                    return fail(file, "page " + name + " is also in " + at->second.string() +
                                          "; a page is pooled once");
                Counts c;
                c.N = page.at("N").get<std::int64_t>();
                c.M = page.at("M").get<std::int64_t>();
                c.one2one = page.at("one2one").get<std::int64_t>();
                c.g_one2many = page.at("g_one2many").get<std::int64_t>();
                c.g_many2one = page.at("g_many2one").get<std::int64_t>();
                c.d_one2many = page.at("d_one2many").get<std::int64_t>();
                c.d_many2one = page.at("d_many2one").get<std::int64_t>();
                sums += c;
                ++pages;
            }
        } catch (const Json::exception& e) {
            return fail(file, std::string("not a file corvanel-eval --json wrote: ") + e.what());
        }
    }
    const Pooled totals = pool(sums, pages, first->weights);
    out << countsText(totals.counts, batchRateTexts(totals.rates)) << "Im.: " << pages << "\n";
    if (o.json) {
        const Level level = Workspace::parseLevel(first->level).value_or(Level::Lines);
        JsonReport json(*o.json, first->workspace, level, first->threshold, first->weights);
        json.setTotals(totals);
        if (auto failure = json.finish()) {
            err << printableName(toolLine(*failure)) << "\n";
            return kFailure;
        }
    }
    return kSuccess;
}

}  // namespace corvanel::cli

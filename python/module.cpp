// The corvanel Python module: the engine and the run layer, no Qt. Nothing
// here prints or installs a handler; every failure is an exception.

#include "python/page_images.h"
#include "python/results.h"

#include "eval/diagnosis.h"
#include "eval/evaluate.h"
#include "formats/png_labels.h"
#include "formats/rasterise.h"
#include "formats/xml_regions.h"
#include "run/runner.h"
#include "run/workspace.h"
#include "run/writers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <stdexcept>

#include "corvanel_version.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace corvanel::python {

namespace {

PyObject* mapErrorType = nullptr;

// A path as Python names it: the bytes decoded as os.fsdecode would.
py::object pathObject(const fs::path& path) {
    const std::string& bytes = path.native();
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

py::object textObject(const std::string& text) {
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

// str, bytes or os.PathLike as the path's own bytes.
fs::path pathOf(const py::object& value) {
    const py::bytes bytes = py::module_::import("os").attr("fsencode")(value);
    return fs::path(static_cast<std::string>(bytes));
}

const char* kindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::MapMissing: return "missing";
        case FailureKind::MapUnreadable: return "unreadable";
        case FailureKind::MapMalformed: return "malformed";
        case FailureKind::NegativeLabel: return "negative_label";
        case FailureKind::MapAllocation: return "allocation";
        case FailureKind::Allocation: return "allocation";
        case FailureKind::SizeMismatch: return "size_mismatch";
        case FailureKind::Settings: return "settings";
        case FailureKind::PageImage: return "page_image";
        case FailureKind::ReportNotCreated:
        case FailureKind::ReportNotWritten:
        case FailureKind::Output: return "output";
        case FailureKind::TwoSources: return "two_sources";
        case FailureKind::RegionNote: return "note";
    }
    return "other";
}

// corvanel.MapError for the failure, worded as corvanel-eval words it.
[[noreturn]] void raiseMapError(const Failure& f, const std::string& shownPath = {}) {
    if (f.kind == FailureKind::Allocation || f.kind == FailureKind::MapAllocation) throw std::bad_alloc();
    std::string reason = f.kind == FailureKind::MapMissing ? "missing" : f.shown;
    if (!f.detail.empty()) reason += (reason.empty() ? "" : ": ") + f.detail;
    if (reason.empty()) reason = boxText(f);
    py::object error = py::handle(mapErrorType)(textObject(printableName(toolLine(f, shownPath))));
    error.attr("file") = f.file.empty() ? py::none() : pathObject(f.file);
    error.attr("side") = f.side ? py::object(py::str(sideName(*f.side))) : py::none();
    error.attr("level") = f.level ? py::object(py::str(levelName(*f.level))) : py::none();
    error.attr("reason") = textObject(printableName(reason));
    error.attr("kind") = py::str(kindName(f.kind));
    PyErr_SetObject(mapErrorType, error.ptr());
    throw py::error_already_set();
}

// ---- arguments ----------------------------------------------------------------

std::int32_t thresholdOf(const py::object& value) {
    if (py::isinstance<py::bool_>(value) || !py::isinstance<py::int_>(value))
        throw py::value_error("threshold must be a whole number from 1 to 100");
    const long long T = value.cast<long long>();
    if (T < 1) throw py::value_error(thresholdProblem(static_cast<std::int32_t>(std::max<long long>(T, INT32_MIN))));
    if (T > 100) throw py::value_error("threshold must be a whole number from 1 to 100, not " + std::to_string(T));
    return static_cast<std::int32_t>(T);
}

// W1 whole, W2 and W3 truncated toward zero, as corvanel-eval reads --weights.
Weights weightsOf(const py::object& value) {
    const auto refuse = [] {
        return py::value_error("weights must be three numbers (W1, W2, W3), none negative, W1 whole");
    };
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) throw refuse();
    const py::sequence items = value;
    if (items.size() != 3) throw refuse();
    std::int64_t w[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const py::object item = items[k];
        if (py::isinstance<py::bool_>(item)) throw refuse();
        if (py::isinstance<py::int_>(item)) {
            w[k] = item.cast<std::int64_t>();
        } else if (py::isinstance<py::float_>(item)) {
            const double v = item.cast<double>();
            if (!(v > -1e18 && v < 1e18) || (k == 0 && v != static_cast<double>(static_cast<std::int64_t>(v))))
                throw refuse();
            w[k] = static_cast<std::int64_t>(v);
        } else {
            throw refuse();
        }
        if (w[k] < 0) throw refuse();
    }
    return {w[0], w[1], w[2]};
}

Level levelOf(const std::string& text) {
    if (auto level = Workspace::parseLevel(text)) return *level;
    throw py::value_error("level must be \"lines\" or \"words\", not \"" + text + "\"");
}

unsigned jobsOf(const py::object& value) {
    if (value.is_none()) return usableProcessors();
    if (py::isinstance<py::bool_>(value) || !py::isinstance<py::int_>(value))
        throw py::value_error("jobs must be a whole number from 1 to 256");
    const long long jobs = value.cast<long long>();
    if (jobs < 1 || jobs > 256) throw py::value_error("jobs must be a whole number from 1 to 256");
    return static_cast<unsigned>(jobs);
}

// A 2-D array of labels as int32, C order: the array itself when it is one
// already, else converted once, after its values are checked to fit.
py::array labelsOf(const py::handle& value, const char* name) {
    py::array array = py::array::ensure(value);
    if (!array) throw py::value_error(std::string(name) + " must be a 2-D array of integer labels");
    if (array.ndim() != 2)
        throw py::value_error(std::string(name) + " must be a 2-D array of integer labels, not " +
                              std::to_string(array.ndim()) + "-D");
    if (py::isinstance<py::array_t<std::int32_t, py::array::c_style>>(array)) return array;
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u')
        throw py::value_error(std::string(name) + " holds " + py::str(array.dtype()).cast<std::string>() +
                              " values; labels are integers");
    if (array.size() > 0) {
        const py::object least = array.attr("min")(), most = array.attr("max")();
        const py::int_ lowest(std::numeric_limits<std::int32_t>::min()), highest(std::numeric_limits<std::int32_t>::max());
        if (least < lowest || most > highest)
            throw py::value_error(std::string(name) + " holds labels from " + py::repr(least).cast<std::string>() +
                                  " to " + py::repr(most).cast<std::string>() + "; labels are 32-bit, 0 to 2147483647");
    }
    return py::module_::import("numpy").attr("ascontiguousarray")(array, py::arg("dtype") = "int32");
}

PageSize sizeOf(const py::array& labels) {
    const auto height = labels.shape(0), width = labels.shape(1);
    if (width > INT32_MAX || height > INT32_MAX) throw py::value_error("an array of more than 2147483647 rows or columns");
    return {static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

// A label map handed to numpy without a copy; the array keeps it alive.
py::array arrayOf(std::shared_ptr<const LabelMap> map) {
    auto* owner = new std::shared_ptr<const LabelMap>(std::move(map));
    py::capsule keep(owner, [](void* p) { delete static_cast<std::shared_ptr<const LabelMap>*>(p); });
    const LabelMap& m = **owner;
    const auto w = static_cast<py::ssize_t>(m.width()), h = static_cast<py::ssize_t>(m.height());
    py::array out(py::dtype::of<std::int32_t>(), {h, w}, {w * 4, py::ssize_t{4}}, m.data(), keep);
    py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return out;
}

// ---- results ------------------------------------------------------------------

py::object rateOf(const std::optional<double>& rate) { return rate ? py::object(py::float_(*rate)) : py::none(); }

py::dict countsOf(const Counts& c) {
    py::dict d;
    d["N"] = c.N;
    d["M"] = c.M;
    d["one2one"] = c.one2one;
    d["g_one2many"] = c.g_one2many;
    d["g_many2one"] = c.g_many2one;
    d["d_one2many"] = c.d_one2many;
    d["d_many2one"] = c.d_many2one;
    return d;
}

py::dict totalsDict(const Totals& t) {
    py::dict d;
    d["pages_evaluated"] = t.pages;
    for (auto item : countsOf(t.counts)) d[item.first] = item.second;
    const Rates r = t.rates();
    d["DR"] = rateOf(r.DR);
    d["RA"] = rateOf(r.RA);
    d["FM"] = rateOf(r.FM);
    return d;
}

py::tuple totalsState(const Totals& t) {
    const Counts& c = t.counts;
    return py::make_tuple(py::make_tuple(c.N, c.M, c.one2one, c.g_one2many, c.g_many2one, c.d_one2many, c.d_many2one),
                          t.pages, t.threshold, py::make_tuple(t.weights.w1, t.weights.w2, t.weights.w3));
}

Totals totalsFromState(const py::tuple& state) {
    if (state.size() < 4) throw std::runtime_error("not a pickled corvanel result");
    Totals t;
    const auto c = state[0].cast<std::vector<std::int64_t>>();
    if (c.size() != 7) throw std::runtime_error("not a pickled corvanel result");
    t.counts = {c[0], c[1], c[2], c[3], c[4], c[5], c[6]};
    t.pages = state[1].cast<std::int64_t>();
    t.threshold = state[2].cast<std::int32_t>();
    const auto w = state[3].cast<std::vector<std::int64_t>>();
    if (w.size() != 3) throw std::runtime_error("not a pickled corvanel result");
    t.weights = {w[0], w[1], w[2]};
    return t;
}

py::object listOfPaths(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(pathObject(name));
    return out;
}

// One side's regions of a page, column by column.
struct Regions {
    std::shared_ptr<const PageDiagnosis> diagnosis;
    bool gtSide = true;

    RegionList list() const { return gtSide ? diagnosis->gt() : diagnosis->result(); }
    std::size_t size() const { return list().size(); }

    template <class T, class F>
    py::array_t<T> column(F field) const {
        const RegionList regions = list();
        py::array_t<T> out(static_cast<py::ssize_t>(regions.size()));
        T* at = out.mutable_data();
        for (const RegionDiagnosis r : regions) *at++ = field(r);
        return out;
    }
};

// Regions of a page that has any were given their boxes.
bool hasBoxes(const PageDiagnosis& d) {
    const OverlapTable& t = d.table();
    return t.gtBoxes.size() == t.gtLabels.size() && t.rsBoxes.size() == t.rsLabels.size();
}

py::dict regionDict(const RegionDiagnosis& r, bool boxes) {
    py::dict d;
    d["label"] = r.label;
    d["area"] = r.area;
    d["bbox"] = boxes ? py::object(py::make_tuple(r.box.left, r.box.top, r.box.right, r.box.bottom)) : py::none();
    d["status"] = std::string(statusName(r.status));
    d["partners"] = std::vector<std::int32_t>(r.partners.begin(), r.partners.end());
    d["score"] = r.score ? py::object(py::int_(*r.score)) : py::none();
    if (r.best) {
        py::dict best;
        best["label"] = r.best->label;
        best["score"] = r.best->score;
        d["best"] = best;
    } else {
        d["best"] = py::none();
    }
    return d;
}

const PageDiagnosis& diagnosed(const PageResult& r) {
    if (!r.diagnosis()) throw py::value_error("this result was evaluated without its overlaps (keep_pages=False)");
    return *r.diagnosis();
}

py::tuple pageState(const PageResult& r) {
    const PageOutcome& o = r.outcome;
    py::bytes table = r.diagnosis() ? py::bytes(tableBytes(r.diagnosis()->table())) : py::bytes();
    const auto bytesOf = [](const std::vector<std::string>& texts) {
        py::list out;
        for (const std::string& text : texts) out.append(py::bytes(text));
        return out;
    };
    return py::make_tuple(totalsState(r), pathObject(o.name), bytesOf(r.messages), bytesOf(o.gtIds),
                          bytesOf(o.rsIds), table, py::make_tuple(o.evaluation.size.width, o.evaluation.size.height));
}

PageResult pageFromState(const py::tuple& state) {
    if (state.size() != 7) throw std::runtime_error("not a pickled corvanel.PageResult");
    const Totals totals = totalsFromState(state[0]);
    const auto table = tableFromBytes(state[5].cast<std::string>());
    if (!table) throw std::runtime_error("not a pickled corvanel.PageResult");
    PageOutcome outcome = outcomeFromTable(*table, totals.threshold, totals.weights);
    outcome.name = pathOf(state[1]).native();
    outcome.gtIds = state[3].cast<std::vector<std::string>>();
    outcome.rsIds = state[4].cast<std::vector<std::string>>();
    const auto size = state[6].cast<std::pair<std::int32_t, std::int32_t>>();
    outcome.evaluation.size = {size.first, size.second};
    return PageResult::of(std::move(outcome), state[2].cast<std::vector<std::string>>());
}

// ---- evaluation -----------------------------------------------------------------

PageResult evaluateArrays(const py::object& gtValue, const py::object& rsValue, const py::object& thresholdValue,
                          const py::object& weightsValue, const py::object& inkValue, bool boxes) {
    const std::int32_t T = thresholdOf(thresholdValue);
    const Weights weights = weightsOf(weightsValue);
    const py::array gt = labelsOf(gtValue, "gt"), rs = labelsOf(rsValue, "result");
    const PageSize size = sizeOf(gt);
    if (sizeOf(rs) != size)
        throw py::value_error("Label maps of different sizes: ground truth " + sizeText(size) + ", result " +
                              sizeText(sizeOf(rs)) + " (width x height)");
    // A default py::array is an empty array, not nothing.
    std::optional<py::array> ink;
    if (!inkValue.is_none()) {
        py::array mask = py::array::ensure(inkValue);
        if (!mask || mask.dtype().kind() != 'b') throw py::value_error("ink must be a 2-D boolean array");
        if (mask.ndim() != 2 || sizeOf(mask) != size)
            throw py::value_error("ink must have the labels' shape, " + sizeText(size) + " (width x height)");
        ink = py::module_::import("numpy").attr("ascontiguousarray")(mask);
    }
    const auto* g = static_cast<const std::int32_t*>(gt.data());
    const auto* r = static_cast<const std::int32_t*>(rs.data());
    const auto* counted = ink ? static_cast<const std::uint8_t*>(ink->data()) : nullptr;
    PageEvaluation e;
    {
        py::gil_scoped_release free;
        e = evaluateLabels(g, r, size, counted, T, weights, /*diagnose=*/true, {}, boxes);
    }
    if (!e.success) raiseMapError(e.failures.at(0));
    PageOutcome outcome;
    outcome.evaluated = true;
    outcome.evaluation = std::move(e);
    outcome.request.threshold = T;
    outcome.request.weights = weights;
    return PageResult::of(std::move(outcome), {});
}

py::array readMap(const py::object& path, const py::object& width, const py::object& height, bool header) {
    PageSize size;
    if (!header || !width.is_none() || !height.is_none()) {
        const auto dimension = [](const py::object& v, const char* name) {
            if (v.is_none() || py::isinstance<py::bool_>(v) || !py::isinstance<py::int_>(v))
                throw py::value_error(std::string(name) + " must be a whole number (it may be left out only with header=True)");
            const long long n = v.cast<long long>();
            if (n < 1 || n > INT32_MAX) throw py::value_error(std::string(name) + " must be from 1 to 2147483647");
            return static_cast<std::int32_t>(n);
        };
        size = {dimension(width, "width"), dimension(height, "height")};
    }
    const fs::path file = pathOf(path);
    std::optional<ReadResult> read;
    {
        py::gil_scoped_release free;
        read.emplace(readLabelMap(file, MapKind::GroundTruth, header, size));
    }
    if (!read->ok()) {
        Failure f = read->error();
        f.side.reset();  // a file read alone is neither side
        raiseMapError(f);
    }
    return arrayOf(std::make_shared<const LabelMap>(std::move(read->map())));
}

py::array readPng(const py::object& path) {
    const fs::path file = pathOf(path);
    std::optional<std::variant<LabelMap, PngProblem>> read;
    {
        py::gil_scoped_release free;
        read.emplace(readPngLabels(file, std::nullopt));
    }
    if (auto* problem = std::get_if<PngProblem>(&*read))
        raiseMapError({FailureKind::MapMalformed, file, {}, {}, problem->message, {}});
    return arrayOf(std::make_shared<const LabelMap>(std::get<LabelMap>(std::move(*read))));
}

// A PAGE XML or ALTO file's regions of a level drawn at the page image's
// size, label i the file's i-th region, as a workspace draws them.
py::tuple readXml(const py::object& path, const py::object& image, const std::string& levelText,
                  const std::string& pixels) {
    const Level level = levelOf(levelText);
    if (pixels != "ink" && pixels != "region") throw py::value_error("pixels must be \"ink\" or \"region\"");
    const fs::path file = pathOf(path), page = pathOf(image);
    const auto problem = [&](std::string why) {
        return Failure{FailureKind::MapMalformed, file, {}, level, std::move(why), {}};
    };
    const auto pageProblem = [&](std::string why) {
        return Failure{FailureKind::PageImage, page, {}, {}, {}, std::move(why)};
    };
    std::shared_ptr<LabelMap> map;
    std::vector<std::string> ids;
    std::optional<Failure> failure;
    {
        py::gil_scoped_release free;
        const std::optional<PageSize> size = pageImageSize(page);
        auto read = size ? readRegionXmlFile(file, size) : std::variant<RegionDocument, XmlProblem>{};
        if (!size) {
            failure = pageProblem("");
        } else if (auto* bad = std::get_if<XmlProblem>(&read)) {
            failure = problem((bad->line ? "line " + std::to_string(bad->line) + ": " : "") + bad->message);
        } else {
            const RegionDocument& document = std::get<RegionDocument>(read);
            const std::vector<Region>& regions = level == Level::Lines ? document.lines : document.words;
            for (const Region& region : regions) {
                if (region.polygon.size() < 3 && !failure)
                    failure = problem("line " + std::to_string(region.line) + ": region " + region.id +
                                      " has fewer than three points");
                ids.push_back(region.id);
            }
            if (!failure) map = std::make_shared<LabelMap>(rasterise(regions, *size));
            if (!failure && pixels == "ink") {
                auto grey = readGreyPage(page);
                if (auto* why = std::get_if<std::string>(&grey)) {
                    failure = pageProblem("its ink: " + *why);
                } else {
                    const GreyImage& g = std::get<GreyImage>(grey);
                    const InkMask ink = findInk(GreyPage{g.pixels.data(), g.width, g.height, static_cast<std::size_t>(g.width)});
                    if (ink.ink.size() != map->pixelCount())
                        failure = pageProblem("its ink: the image decodes at another size than its header says");
                    else
                        keepCounted(map->data(), ink.ink.data(), map->pixelCount(), map->data());
                }
            }
        }
    }
    if (failure) raiseMapError(*failure);
    py::list names;
    for (const std::string& id : ids) names.append(textObject(id));
    return py::make_tuple(arrayOf(std::move(map)), names);
}

// A workspace with the settings of where its pixels come from.
struct PyWorkspace {
    Workspace workspace;
    bool header = false;
    PolygonPixels pixels = PolygonPixels::Ink;
    bool inkOnly = false;

    RunSettings settings(Level level, std::int32_t T, const Weights& weights, bool diagnose) const {
        RunSettings s;
        s.level = level;
        s.readHeader = header;
        s.threshold = T;
        s.weights = weights;
        s.diagnose = diagnose;
        s.sources.pixels = pixels;
        s.sources.inkOnly = inkOnly;
        s.sources.greyPage = readGreyPage;
        return s;
    }

    // The participant named (a folder of ROOT/participants, or any folder
    // holding lines/ and words/), or the workspace's results.
    Participant participant(const py::object& value) const {
        if (value.is_none()) return workspace.resultsParticipant();
        const fs::path given = pathOf(value);
        for (const Participant& p : workspace.participants())
            if (p.name == given.native()) return p;
        auto found = Workspace::participantsIn({given});
        if (auto* why = std::get_if<std::string>(&found)) throw py::value_error(printableName(*why));
        const auto& all = std::get<std::vector<Participant>>(found);
        if (all.size() != 1)
            throw py::value_error(printableName(given.string()) + " holds " + std::to_string(all.size()) +
                                  " participants; name one");
        return all[0];
    }

    Workspace scoring(const py::object& participant) const {
        Workspace w = workspace;
        if (auto failure = w.setResultsFolder(this->participant(participant).folder))
            throw py::value_error(printableName(boxText(*failure)));
        return w;
    }
};

const ImageSizeReader kImageSize = [](const fs::path& path) { return pageImageSize(path); };

RunHooks runHooks() {
    RunHooks hooks;
    hooks.imageSize = [](const fs::path& path, MainThread&) { return pageImageSize(path); };
    return hooks;
}

// The page's failure worth an exception: the first that kept it from being
// evaluated.
[[noreturn]] void raisePage(const Workspace& w, const PageOutcome& page) {
    for (const Failure& f : page.failures)
        if (f.kind != FailureKind::RegionNote) raiseMapError(f, f.kind == FailureKind::MapMissing ? w.shown(f.file) : "");
    throw std::runtime_error("the page was not evaluated");
}

PageOutcome evaluateOnePage(const PyWorkspace& self, const std::string& name, const RunSettings& s,
                            const Workspace& w) {
    PageOutcome page;
    {
        py::gil_scoped_release free;
        page = evaluateBatchPage(w, s, name, kImageSize);
    }
    if (page.evaluation.fatal) throw std::bad_alloc();
    if (!page.evaluated) raisePage(w, page);
    (void)self;
    return page;
}

struct Batch {
    Totals totals;
    std::vector<PageResult> results;
    std::vector<std::string> messages;
    std::vector<std::string> notEvaluated;
    std::size_t listed = 0;
};

Batch evaluateWorkspace(const PyWorkspace& self, const std::string& level, const py::object& participant,
                        const py::object& jobs, const py::object& threshold, const py::object& weights,
                        const py::object& pages, bool keepPages) {
    const RunSettings s = self.settings(levelOf(level), thresholdOf(threshold), weightsOf(weights), keepPages);
    const Workspace w = self.scoring(participant);
    const unsigned j = jobsOf(jobs);
    std::vector<std::string> names;
    if (pages.is_none()) {
        names = w.pages();
    } else {
        for (const py::handle name : pages) names.push_back(pathOf(py::reinterpret_borrow<py::object>(name)).native());
    }
    Batch batch;
    LevelRun run;
    {
        py::gil_scoped_release free;
        run = runPages(w, s, names, j, runHooks(), [&](const PageOutcome& page) {
            std::vector<std::string> lines = pageLines(w, page);
            for (const std::string& line : lines) batch.messages.push_back(printableName(line));
            if (!page.evaluated) batch.notEvaluated.push_back(page.name);
            else if (keepPages) batch.results.push_back(PageResult::of(page, std::move(lines)));
        });
    }
    if (run.fatal) throw std::bad_alloc();
    batch.totals = {run.totals.counts, run.totals.pages, s.threshold, s.weights};
    batch.listed = run.listed;
    return batch;
}

struct PyStanding {
    std::string name;
    std::int64_t rank = 0;
    double overall = 0;
    Totals lines, words;
    std::int64_t linesSubmitted = 0, wordsSubmitted = 0;
};

std::vector<PyStanding> rankWorkspace(const PyWorkspace& self, const py::object& participants,
                                    const py::object& threshold, const py::object& weights, const py::object& jobs) {
    const RunSettings s = self.settings(Level::Lines, thresholdOf(threshold), weightsOf(weights), false);
    const unsigned j = jobsOf(jobs);
    std::vector<Participant> chosen;
    if (participants.is_none()) {
        chosen = self.workspace.participants();
    } else {
        for (const py::handle p : participants) chosen.push_back(self.participant(py::reinterpret_borrow<py::object>(p)));
    }
    RankingResult ranking;
    {
        py::gil_scoped_release free;
        ranking = rankParticipants(
            self.workspace, chosen, s, j, runHooks(), [](const Participant&, Level, const PageOutcome&) {},
            [](const Participant&, const LevelRun&) {});
    }
    if (ranking.fatal) throw std::bad_alloc();
    std::vector<PyStanding> out;
    for (const corvanel::Standing& st : ranking.standings)
        out.push_back({st.participant.name, static_cast<std::int64_t>(out.size() + 1), st.overall,
                       {st.lines.totals.counts, st.lines.totals.pages, s.threshold, s.weights},
                       {st.words.totals.counts, st.words.totals.pages, s.threshold, s.weights},
                       st.lines.submitted, st.words.submitted});
    return out;
}

PyWorkspace openWorkspace(const py::object& folder, const py::object& gt, bool header, const std::string& pixels,
                          bool inkOnly) {
    auto opened = Workspace::open(pathOf(folder));
    if (auto* why = std::get_if<std::string>(&opened)) throw py::value_error(printableName(*why));
    PyWorkspace ws;
    ws.workspace = std::get<Workspace>(std::move(opened));
    if (!gt.is_none())
        if (auto failure = ws.workspace.setGroundTruthFolder(pathOf(gt))) throw py::value_error(printableName(boxText(*failure)));
    if (pixels != "ink" && pixels != "region") throw py::value_error("pixels must be \"ink\" or \"region\"");
    ws.header = header;
    ws.pixels = pixels == "region" ? PolygonPixels::Region : PolygonPixels::Ink;
    ws.inkOnly = inkOnly;
    return ws;
}

std::string repr(const char* type, const Totals& t) {
    const Rates r = t.rates();
    const RateTexts texts = batchRateTexts(r);
    return std::string("<corvanel.") + type + " pages=" + std::to_string(t.pages) + " N=" + std::to_string(t.counts.N) +
           " M=" + std::to_string(t.counts.M) + " one2one=" + std::to_string(t.counts.one2one) + " DR=" + texts.dr +
           " RA=" + texts.ra + " FM=" + texts.fm + ">";
}

}  // namespace

}  // namespace corvanel::python

#include "python/docs.h"

PYBIND11_MODULE(corvanel, m) {
    using namespace corvanel;
    using namespace corvanel::python;
    namespace doc = corvanel::python::docs;
    m.doc() = doc::module;
    // The docstrings begin with their own signature, in Python's words.
    py::options options;
    options.disable_function_signatures();
    m.attr("__version__") = CORVANEL_VERSION;

    mapErrorType = PyErr_NewExceptionWithDoc("corvanel.MapError", doc::mapError, PyExc_Exception, nullptr);
    for (const char* field : {"file", "side", "level", "reason", "kind"})
        PyObject_SetAttrString(mapErrorType, field, Py_None);
    m.attr("MapError") = py::handle(mapErrorType);

    py::class_<Totals>(m, "Totals", doc::totals)
        .def(py::init<>(), "Totals()\n\nTotals of no page: the start of a sum.")
        .def_property_readonly("N", [](const Totals& t) { return t.counts.N; }, "Ground-truth regions.")
        .def_property_readonly("M", [](const Totals& t) { return t.counts.M; }, "Result regions.")
        .def_property_readonly("one2one", [](const Totals& t) { return t.counts.one2one; }, "One-to-one matches.")
        .def_property_readonly("g_one2many", [](const Totals& t) { return t.counts.g_one2many; },
                               "Ground-truth regions split over several result regions.")
        .def_property_readonly("g_many2one", [](const Totals& t) { return t.counts.g_many2one; },
                               "Ground-truth regions merged into one result region.")
        .def_property_readonly("d_one2many", [](const Totals& t) { return t.counts.d_one2many; },
                               "Result regions covering several ground-truth regions.")
        .def_property_readonly("d_many2one", [](const Totals& t) { return t.counts.d_many2one; },
                               "Result regions that are a piece of a split ground-truth region.")
        .def_property_readonly("counts", [](const Totals& t) { return countsOf(t.counts); },
                               "The seven counts as a dict.")
        .def_property_readonly("pages", [](const Totals& t) { return t.pages; }, "Pages evaluated and pooled.")
        .def_property_readonly("threshold", [](const Totals& t) { return t.threshold; }, "Match threshold, percent.")
        .def_property_readonly("weights", [](const Totals& t) { return py::make_tuple(t.weights.w1, t.weights.w2, t.weights.w3); },
                               "Weights (W1, W2, W3) of one2one, one2many and many2one matches.")
        .def_property_readonly("DR", [](const Totals& t) { return rateOf(t.rates().DR); },
                               "Detection rate in percent; None when N is 0.")
        .def_property_readonly("RA", [](const Totals& t) { return rateOf(t.rates().RA); },
                               "Recognition accuracy in percent; None when M is 0.")
        .def_property_readonly("FM", [](const Totals& t) { return rateOf(t.rates().FM); },
                               "F-measure in percent; None when N or M is 0.")
        .def("to_dict", &totalsDict, doc::totalsToDict)
        .def("__add__", [](const Totals& a, const Totals& b) { return a.pooledWith(b); }, py::is_operator())
        .def("__radd__",
             [](const Totals& a, const py::object& b) -> py::object {
                 if (py::isinstance<py::int_>(b) && !py::isinstance<py::bool_>(b) && b.cast<long long>() == 0)
                     return py::cast(Totals(a));
                 if (py::isinstance<Totals>(b)) return py::cast(b.cast<const Totals&>().pooledWith(a));
                 return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             },
             py::is_operator())
        .def("__eq__",
             [](const Totals& a, const Totals& b) {
                 return a.counts == b.counts && a.pages == b.pages && a.threshold == b.threshold &&
                        a.weights.w1 == b.weights.w1 && a.weights.w2 == b.weights.w2 && a.weights.w3 == b.weights.w3;
             },
             py::is_operator())
        .def("__repr__", [](const Totals& t) { return repr("Totals", t); })
        .def(py::pickle([](const Totals& t) { return totalsState(t); },
                        [](const py::tuple& state) { return totalsFromState(state); }));

    py::class_<Regions>(m, "Regions", doc::regions)
        .def("__len__", &Regions::size)
        .def_property_readonly("labels", [](const Regions& r) { return r.column<std::int32_t>([](const RegionDiagnosis& d) { return d.label; }); },
                               "Labels, ascending (int32 array).")
        .def_property_readonly("areas", [](const Regions& r) { return r.column<std::int64_t>([](const RegionDiagnosis& d) { return d.area; }); },
                               "Pixels of each region (int64 array).")
        .def_property_readonly("boxes",
                               [](const Regions& r) {
                                   if (!hasBoxes(*r.diagnosis))
                                       throw py::value_error("this page was evaluated with boxes=False");
                                   const RegionList list = r.list();
                                   py::array_t<std::int32_t> out({static_cast<py::ssize_t>(list.size()), py::ssize_t{4}});
                                   std::int32_t* at = out.mutable_data();
                                   for (const RegionDiagnosis d : list)
                                       for (std::int32_t v : {d.box.left, d.box.top, d.box.right, d.box.bottom}) *at++ = v;
                                   return out;
                               },
                               "Bounding boxes, one row a region: left, top, right, bottom, ends included (int32, n x 4).")
        .def_property_readonly("statuses",
                               [](const Regions& r) {
                                   py::list out;
                                   for (const RegionDiagnosis d : r.list()) out.append(std::string(statusName(d.status)));
                                   return out;
                               },
                               "What the matching made of each region: \"one2one\", \"split\", \"merged\", \"missed\" "
                               "or \"false_alarm\" (list of str).")
        .def_property_readonly("partners",
                               [](const Regions& r) {
                                   py::list out;
                                   for (const RegionDiagnosis d : r.list())
                                       out.append(std::vector<std::int32_t>(d.partners.begin(), d.partners.end()));
                                   return out;
                               },
                               "Labels of the other side's regions each was matched with, ascending (list of lists).")
        .def_property_readonly("scores", [](const Regions& r) { return r.column<std::int32_t>([](const RegionDiagnosis& d) { return d.score.value_or(-1); }); },
                               "Match score in percent: a one-to-one pair's, a group centre's sum of its members', a "
                               "member's with its centre; -1 when unmatched (int32 array).")
        .def_property_readonly("best_labels", [](const Regions& r) { return r.column<std::int32_t>([](const RegionDiagnosis& d) { return d.best ? d.best->label : -1; }); },
                               "The other side's region each shares most with (lowest label on ties), matched or "
                               "not; -1 when it shares nothing (int32 array).")
        .def_property_readonly("best_scores", [](const Regions& r) { return r.column<std::int32_t>([](const RegionDiagnosis& d) { return d.best ? d.best->score : -1; }); },
                               "The score with that region; -1 when it shares nothing (int32 array).")
        .def("region",
             [](const Regions& r, std::int32_t label) -> py::object {
                 const auto found = r.gtSide ? r.diagnosis->findGt(label) : r.diagnosis->findResult(label);
                 if (!found) return py::none();
                 return regionDict(*found, hasBoxes(*r.diagnosis));
             },
             py::arg("label"), "region(label) -> dict | None\n\nThe record of the region with this label as to_dict() gives it, or None.");

    py::class_<PageResult, Totals>(m, "PageResult", doc::pageResult)
        .def_property("name", [](const PageResult& r) { return pathObject(r.outcome.name); },
                      [](PageResult& r, const py::object& name) { r.outcome.name = pathOf(name).native(); },
                      "The page's name (its image's file name; empty for arrays until set).")
        .def_property_readonly("width", [](const PageResult& r) { return r.outcome.evaluation.size.width; }, "Page width in pixels.")
        .def_property_readonly("height", [](const PageResult& r) { return r.outcome.evaluation.size.height; }, "Page height in pixels.")
        .def_property_readonly("gt_regions", [](const PageResult& r) { diagnosed(r); return Regions{r.outcome.evaluation.diagnosis, true}; },
                               "The ground truth's regions (corvanel.Regions).")
        .def_property_readonly("result_regions", [](const PageResult& r) { diagnosed(r); return Regions{r.outcome.evaluation.diagnosis, false}; },
                               "The result's regions (corvanel.Regions).")
        .def_property_readonly("one2one_pairs",
                               [](const PageResult& r) {
                                   py::list out;
                                   for (const MatchedPair& p : r.outcome.evaluation.detail.one2one)
                                       out.append(py::make_tuple(p.gtLabel, p.rsLabel, p.score));
                                   return out;
                               },
                               "One-to-one matches as (gt label, result label, score), in the order they were made.")
        .def_property_readonly("gt_groups",
                               [](const PageResult& r) {
                                   py::list out;
                                   for (const MatchedGroup& g : r.outcome.evaluation.detail.gtCentred)
                                       out.append(py::make_tuple(g.centre, g.members));
                                   return out;
                               },
                               "Ground-truth regions split over results, as (gt label, [result labels]).")
        .def_property_readonly("result_groups",
                               [](const PageResult& r) {
                                   py::list out;
                                   for (const MatchedGroup& g : r.outcome.evaluation.detail.resultCentred)
                                       out.append(py::make_tuple(g.centre, g.members));
                                   return out;
                               },
                               "Result regions covering several ground-truth regions, as (result label, [gt labels]).")
        .def_property_readonly("unmatched_gt", [](const PageResult& r) { return r.outcome.evaluation.detail.unmatchedGt; },
                               "Ground-truth labels left unmatched, ascending.")
        .def_property_readonly("unmatched_result", [](const PageResult& r) { return r.outcome.evaluation.detail.unmatchedResult; },
                               "Result labels left unmatched, ascending.")
        .def_property_readonly("messages",
                               [](const PageResult& r) {
                                   std::vector<std::string> lines;
                                   for (const std::string& line : r.messages) lines.push_back(printableName(line));
                                   return lines;
                               },
                               "What corvanel-eval says of the page (notes on its regions), a line each.")
        .def("at_threshold",
             [](const PageResult& r, const py::object& T) {
                 diagnosed(r);
                 const std::int32_t t = thresholdOf(T);
                 py::gil_scoped_release free;
                 return r.atThreshold(t);
             },
             py::arg("threshold"), doc::atThreshold)
        .def("to_dict",
             [](const PageResult& r) {
                 py::object record = py::module_::import("json").attr("loads")(pageRecord(r.outcome, r.messages));
                 if (r.diagnosis() && !hasBoxes(*r.diagnosis()))
                     for (const char* side : {"gt_regions", "result_regions"})
                         for (py::handle region : record[side]) region[py::str("bbox")] = py::none();
                 return record;
             },
             doc::pageToDict)
        .def("__repr__", [](const PageResult& r) { return repr("PageResult", r); })
        .def(py::pickle([](const PageResult& r) { diagnosed(r); return pageState(r); },
                        [](const py::tuple& state) { return pageFromState(state); }));

    py::class_<Batch>(m, "Batch", doc::batch)
        .def_readonly("totals", &Batch::totals, "The pooled totals (corvanel.Totals), as corvanel-eval prints them.")
        .def_readonly("results", &Batch::results, "Each evaluated page's corvanel.PageResult, in list order (empty "
                                                  "with keep_pages=False).")
        .def_readonly("messages", &Batch::messages, "What corvanel-eval says on stderr of the pages, a line each.")
        .def_property_readonly("not_evaluated", [](const Batch& b) { return listOfPaths(b.notEvaluated); },
                               "Pages that could not be evaluated and are not counted.")
        .def_readonly("listed", &Batch::listed, "Pages listed in images/.")
        .def("__repr__", [](const Batch& b) {
            return "<corvanel.Batch listed=" + std::to_string(b.listed) + " " + repr("Totals", b.totals).substr(1);
        });

    py::class_<PyStanding>(m, "Standing", doc::standing)
        .def_property_readonly("name", [](const PyStanding& s) { return pathObject(s.name); },
                               "The participant's folder name.")
        .def_readonly("rank", &PyStanding::rank, "1 for the best.")
        .def_readonly("overall", &PyStanding::overall, "Mean FM of both levels (a level without a score counts as 0).")
        .def_readonly("lines", &PyStanding::lines, "Totals at line level (corvanel.Totals).")
        .def_readonly("words", &PyStanding::words, "Totals at word level (corvanel.Totals).")
        .def_readonly("lines_submitted", &PyStanding::linesSubmitted,
                      "Pages with a line result of its own; the others count as pages where nothing was found.")
        .def_readonly("words_submitted", &PyStanding::wordsSubmitted, "The same at word level.")
        .def("__repr__", [](const PyStanding& s) {
            return "<corvanel.Standing rank=" + std::to_string(s.rank) + " " + printableName(s.name) +
                   " overall=" + fixed2(s.overall) + ">";
        });

    py::class_<PyWorkspace>(m, "Workspace", doc::workspace)
        .def(py::init(&openWorkspace), py::arg("folder"), py::arg("gt") = py::none(), py::arg("header") = false,
             py::arg("pixels") = "ink", py::arg("ink_only") = false)
        .def_property_readonly("root", [](const PyWorkspace& w) { return pathObject(w.workspace.root()); }, "The folder.")
        .def("pages", [](const PyWorkspace& w) { return listOfPaths(w.workspace.pages()); },
             "pages() -> list[str]\n\nThe page images' names in list order, as corvanel-eval evaluates them.")
        .def("participants",
             [](const PyWorkspace& w) {
                 std::vector<std::string> names;
                 for (const Participant& p : w.workspace.participants()) names.push_back(p.name);
                 return listOfPaths(names);
             },
             "participants() -> list[str]\n\nresults (when it holds a level), then every participants/NAME that does, by name.")
        .def("evaluate", &evaluateWorkspace, py::arg("level") = "lines", py::arg("participant") = py::none(),
             py::arg("jobs") = py::none(), py::arg("threshold") = 90, py::arg("weights") = py::make_tuple(100, 0, 0),
             py::arg("pages") = py::none(), py::arg("keep_pages") = true, doc::workspaceEvaluate)
        .def("evaluate_page",
             [](const PyWorkspace& self, const py::object& name, const std::string& level, const py::object& participant,
                const py::object& threshold, const py::object& weights) {
                 const RunSettings s = self.settings(levelOf(level), thresholdOf(threshold), weightsOf(weights), true);
                 const Workspace w = self.scoring(participant);
                 PageOutcome page = evaluateOnePage(self, pathOf(name).native(), s, w);
                 std::vector<std::string> lines = pageLines(w, page);
                 return PageResult::of(std::move(page), std::move(lines));
             },
             py::arg("page"), py::arg("level") = "lines", py::arg("participant") = py::none(), py::arg("threshold") = 90,
             py::arg("weights") = py::make_tuple(100, 0, 0), doc::evaluatePage)
        .def("maps",
             [](const PyWorkspace& self, const py::object& name, const std::string& level, const py::object& participant) {
                 RunSettings s = self.settings(levelOf(level), 90, Weights{}, false);
                 s.keepMaps = true;
                 const Workspace w = self.scoring(participant);
                 PageOutcome page = evaluateOnePage(self, pathOf(name).native(), s, w);
                 return py::make_tuple(arrayOf(page.evaluation.gtMap), arrayOf(page.evaluation.rsMap));
             },
             py::arg("page"), py::arg("level") = "lines", py::arg("participant") = py::none(), doc::maps)
        .def("rank", &rankWorkspace, py::arg("participants") = py::none(), py::arg("threshold") = 90,
             py::arg("weights") = py::make_tuple(100, 0, 0), py::arg("jobs") = py::none(), doc::rank)
        .def("__repr__", [](const PyWorkspace& w) { return "<corvanel.Workspace " + printableName(w.workspace.root().string()) + ">"; });

    m.def("evaluate", &evaluateArrays, py::arg("gt"), py::arg("result"), py::arg("threshold") = 90,
          py::arg("weights") = py::make_tuple(100, 0, 0), py::arg("ink") = py::none(), py::kw_only(),
          py::arg("boxes") = true, doc::evaluate);
    m.def("read_map", &readMap, py::arg("path"), py::arg("width") = py::none(), py::arg("height") = py::none(),
          py::arg("header") = false, doc::readMap);
    m.def("read_png", &readPng, py::arg("path"), doc::readPng);
    m.def("read_xml", &readXml, py::arg("path"), py::arg("image"), py::arg("level") = "lines",
          py::arg("pixels") = "ink", doc::readXml);
    m.def("rank",
          [](const py::object& folder, const py::object& participants, const py::object& threshold,
             const py::object& weights, const py::object& jobs, const py::object& gt, bool header,
             const std::string& pixels, bool inkOnly) {
              return rankWorkspace(openWorkspace(folder, gt, header, pixels, inkOnly), participants, threshold, weights, jobs);
          },
          py::arg("folder"), py::arg("participants") = py::none(), py::arg("threshold") = 90,
          py::arg("weights") = py::make_tuple(100, 0, 0), py::arg("jobs") = py::none(), py::arg("gt") = py::none(),
          py::arg("header") = false, py::arg("pixels") = "ink", py::arg("ink_only") = false, doc::rankFunction);
}

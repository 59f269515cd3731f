#pragma once

// The module's docstrings, kept apart from the bindings so both read.

namespace corvanel::python::docs {

inline constexpr const char* module = R"(Scores handwriting segmentation against ground truth.

The engine of corvanel-eval, reached from Python without files or programs:
label maps as numpy arrays, or a workspace folder as corvanel-eval reads it.

    import corvanel
    r = corvanel.evaluate(gt, result)          # two 2-D integer arrays
    r.FM, r.one2one, r.gt_regions.statuses
    total = sum(results)                        # pooled as one batch pools pages
    corvanel.Workspace("ws").evaluate(level="words").totals
    corvanel.read_map(path, w, h), corvanel.read_png(path), corvanel.read_xml(path, image)

Regions are the labels that occur (0 is background). A ground-truth region
and a result region match when they share at least `threshold` percent of
the larger of the two; groups of splits and merges are matched after the
one-to-one pairs. DR = w-weighted matches / N, RA = / M, FM their harmonic
mean, in percent.

Nothing is printed; failures are exceptions: corvanel.MapError for a map or
page that cannot be evaluated (with .file, .side, .reason), ValueError for
bad arguments, MemoryError when the tables do not fit.
)";

inline constexpr const char* mapError = R"(A label map, page source or page image that cannot be evaluated.

str(error) is corvanel-eval's line for it. Attributes:
    file    the file concerned (str), or None for arrays
    side    "ground truth", "result" or None
    level   "lines", "words" or None
    reason  why, in a few words ("missing" for a map that does not exist)
    kind    "missing", "unreadable", "malformed", "negative_label",
            "size_mismatch", "page_image", "two_sources", ...)";

inline constexpr const char* evaluate = R"(evaluate(gt, result, threshold=90, weights=(100, 0, 0), ink=None, *, boxes=True) -> PageResult

Scores one page given as two label maps in memory.

gt, result
    2-D arrays of labels of one shape (rows x columns = height x width), one
    region a label, 0 the background. An int32 array in C order is read in
    place, without a copy; any other integer array is converted once (its
    labels must fit 0..2147483647). A negative label refuses the page with
    corvanel.MapError (kind "negative_label", naming the side and the pixel).
threshold
    Match threshold in percent, a whole number from 1 to 100.
weights
    (W1, W2, W3): weights of one-to-one, one-to-many and many-to-one
    matches, none negative; W1 whole, W2 and W3 truncated toward zero.
ink
    Optional boolean array of the same shape: only pixels that are True
    count, on both sides (corvanel-eval's --ink-only).
boxes
    False leaves out the regions' bounding boxes (Regions.boxes raises,
    to_dict() gives None); they cost next to no time, so this only saves
    their memory. Every other field is there either way.

Returns a corvanel.PageResult: the seven counts, DR, RA and FM (None when
undefined), what matched what and the per-region diagnosis. The engine runs
with the GIL released: threads evaluating pages run in parallel. Do not
write to the arrays while they are evaluated.

Raises ValueError for arrays or arguments that cannot be used,
corvanel.MapError for a negative label, MemoryError when the tables do not fit.)";

inline constexpr const char* readMap = R"(read_map(path, width=None, height=None, header=False) -> numpy.ndarray

Reads a .dat label map: one 32-bit little-endian label per pixel, row by
row. Without a header the map is width x height labels; with header=True it
begins with its width and height (two 32-bit numbers) and these override
width and height, which may then be left out.

Returns an int32 array of shape (height, width), read-only, holding the file's
labels. Raises corvanel.MapError for a file that is missing, unreadable, too
short for its size, or holds a negative label (kind and reason say which).)";

inline constexpr const char* readPng = R"(read_png(path) -> numpy.ndarray

Reads a PNG label image: 16-bit grey, the label being the grey value, or
8 bits a channel RGB, the label being R + 256 G + 65536 B; 0 is background.
Returns a read-only int32 array of shape (height, width). Raises
corvanel.MapError for a file that is missing or not such an image.)";

inline constexpr const char* readXml = R"(read_xml(path, image, level="lines", pixels="ink") -> (labels, ids)

Draws the text lines (level="lines") or words (level="words") of a PAGE XML
or ALTO file at the size of its page image, as a workspace draws them for
corvanel-eval: the i-th region of the file is label i. With pixels="ink"
(the default) a region keeps only its pixels that are ink in the page image
(the page image decoded here: TIFF, PNG or JPEG); with "region", all of them.
Returns a read-only int32 array of shape (height, width) and the regions'
element ids, label 1 first. Raises corvanel.MapError for a file that cannot
be read or a page image that cannot be decoded.)";

inline constexpr const char* totals = R"(Counts of evaluated pages pooled, with their scores.

Attributes: N, M, one2one, g_one2many, g_many2one, d_one2many, d_many2one
(the seven counts), pages, threshold, weights, DR, RA, FM (percent, None when
undefined) and counts (a dict of the seven).

a + b and sum(results) pool exactly as corvanel-eval pools a batch: counts
added, rates computed from the sums. Results scored at other thresholds or
with other weights do not pool (ValueError). Totals pickle, so any
map/reduce engine can score pages apart and add them up.)";

inline constexpr const char* totalsToDict = R"(to_dict() -> dict

The totals as corvanel-eval's JSON file holds them under "totals":
pages_evaluated, the seven counts, DR, RA, FM.)";

inline constexpr const char* pageResult = R"(One page's evaluation (a corvanel.Totals of one page, so results pool).

Besides the counts and rates: name, width, height, gt_regions and
result_regions (corvanel.Regions: the per-region diagnosis), one2one_pairs,
gt_groups, result_groups, unmatched_gt, unmatched_result, messages.
at_threshold(t) matches the page again from the overlaps it keeps; to_dict()
gives corvanel-eval's JSON page record. Page results pickle with their
overlaps.)";

inline constexpr const char* atThreshold = R"(at_threshold(threshold) -> PageResult

The same page matched again at another threshold (1 to 100), from the
overlaps counted once: no pixel is read again. A sweep over a data set is
sum(r.at_threshold(t) for r in results) for each t.)";

inline constexpr const char* pageToDict = R"(to_dict() -> dict

The page as corvanel-eval --json writes it in "pages": name, evaluated, the
seven counts, DR, RA, FM, one2one_pairs, gt_groups, result_groups,
unmatched_gt, unmatched_result, gt_regions and result_regions (label, area,
bbox, status, partners, score, best), messages; gt_ids and result_ids for
PAGE XML or ALTO sources.)";

inline constexpr const char* regions = R"(One side's regions of a page, ascending label, as columns.

labels, areas, boxes (n x 4: left, top, right, bottom, ends included),
statuses ("one2one", "split", "merged", "missed", "false_alarm"), partners,
scores (-1 when unmatched), best_labels and best_scores (the other side's
region it shares most with, -1 when none). len(regions) is their number;
region(label) gives one region's record as a dict.)";

inline constexpr const char* batch = R"(A workspace's pages evaluated at one level for one participant.

totals (corvanel.Totals, the numbers corvanel-eval prints), results (each
evaluated page's corvanel.PageResult), messages (what corvanel-eval says on
stderr), not_evaluated (page names not counted), listed (pages listed).)";

inline constexpr const char* standing = R"(A participant's place in a ranking: name, rank, overall (mean FM of
both levels), lines and words (corvanel.Totals), and lines_submitted and
words_submitted (pages with a result of their own; the others count as
pages where nothing was found).)";

inline constexpr const char* workspace = R"(Workspace(folder, gt=None, header=False, pixels="ink", ink_only=False)

A workspace as corvanel-eval reads it: FOLDER/images holds the page images
(TIFF, PNG or JPEG here), FOLDER/gt the ground truth, FOLDER/results the
result and FOLDER/participants/NAME other participants. Each side of a page
comes from LEVEL/PAGE.dat, LEVEL/PAGE.png (a PNG label image) or STEM.xml
(PAGE XML or ALTO, rasterised at the page image's size).

gt        another ground-truth folder (corvanel-eval --gt)
header    .dat maps begin with their size (--header)
pixels    "ink": a polygon counts only its pixels that are ink in the page
          image (the default, as corvanel-eval); "region": all of them
ink_only  both maps, whatever their source, count only the page's ink

The page's ink is found from the page image by the binarisation
corvanel-eval uses; the module decodes TIFF, PNG and JPEG page images
itself, without Qt. Raises ValueError for a folder that is no workspace.)";

inline constexpr const char* workspaceEvaluate = R"(evaluate(level="lines", participant=None, jobs=None, threshold=90, weights=(100, 0, 0), pages=None, keep_pages=True) -> Batch

Evaluates every page (or the names in `pages`) as corvanel-eval WORKSPACE
does, on `jobs` threads (default: the processors this process may use), and
returns a corvanel.Batch whose totals are corvanel-eval's. A page that
cannot be evaluated is not counted and is said in messages; no exception.
participant: None for FOLDER/results, a name under participants/, or a folder.
keep_pages=False keeps no per-page results, only the totals.)";

inline constexpr const char* evaluatePage = R"(evaluate_page(page, level="lines", participant=None, threshold=90, weights=(100, 0, 0)) -> PageResult

Evaluates one page by its image's name, as corvanel-eval --page does.
Raises corvanel.MapError when it cannot be evaluated (a map missing or
unreadable, a page image that cannot be read). For a cluster: pages as
tasks, each one evaluate_page, the results summed.)";

inline constexpr const char* maps = R"(maps(page, level="lines", participant=None) -> (gt, result)

The page's two label maps as the evaluation counts them (PNG label images
decoded, PAGE XML and ALTO drawn, the ink applied), as read-only int32
arrays of shape (height, width). Raises corvanel.MapError as evaluate_page.)";

inline constexpr const char* rank = R"(rank(participants=None, threshold=90, weights=(100, 0, 0), jobs=None) -> list[Standing]

Scores each participant at both levels and ranks them by mean FM, best
first (ties by name), as corvanel-eval rank does. participants: names
under participants/ or folders; None for every participant of the workspace.
A ground-truth page a participant has no map for counts as a page where it
found nothing.)";

inline constexpr const char* rankFunction = R"(rank(folder, participants=None, threshold=90, weights=(100, 0, 0), jobs=None, gt=None, header=False, pixels="ink", ink_only=False) -> list[Standing]

corvanel.Workspace(folder, gt, header, pixels, ink_only).rank(participants,
threshold, weights, jobs): the leaderboard of corvanel-eval rank.)";

}  // namespace corvanel::python::docs

// Diagrams drawn in batches: mmdc given a Markdown file of Mermaid blocks
// draws them all with one browser into batch-1.svg, batch-2.svg, ..., each
// byte for byte what a run of that diagram alone writes. A batch stops at a
// diagram that fails; what it wrote before is taken, the failing diagram is
// drawn alone, so that its error is the one a lone run gives, and a new batch
// goes on with the rest.
#include <algorithm>

#include "chartsite.hpp"
#include "common/files.hpp"

namespace dorvex {

struct Drawings::Item {
    DrawingSpec spec;
    py::object key = py::none(), error = py::none();
    std::size_t job = 0;     // the mmdc run drawing it now
    Batch* batch = nullptr;  // that run's batch; none for a lone run
    bool done = false;
};

struct Drawings::Batch {
    std::vector<std::size_t> ids;
    py::object folder, log, svg_id;  // svg_id: the id every drawing gets, None for mmdc's
    std::size_t job = 0;
};

namespace {

// Random bytes in the stand-in id, so that no diagram text holds it by chance.
constexpr int STAND_IN_BYTES = 8;

py::object os_path() { return g_chartsite["os"].attr("path"); }

py::list options(py::handle svg_id) {
    return svg_id.is_none() ? py::list() : list_of("-I", svg_id);
}

// Whether mmdc finds exactly `text` in a block written as "```mermaid\n",
// the text and "```": it ends a block at the first three backticks or colons
// that close a line, and its JavaScript knows line ends and spaces that
// Python's re reads otherwise. Any other text is drawn alone.
bool batchable(py::handle text) {
    if (text.is_none()) return false;
    py::object s;
    if (catch_python(PyExc_UnicodeDecodeError, [&] { s = text.attr("decode")("utf-8"); }))
        return false;
    py::module_ re = py::module_::import("re");
    if (!re.attr("search")(R"([\r\x1c-\x1f\x85\u2028\u2029\ufeff])", s).is_none()) return false;
    py::object end = re.attr("search")(R"([`:]{3}[^\S\n]*(?=\n|\Z))", s + py::str("```"));
    return end.attr("start")().cast<std::size_t>() == py::len(s);
}

// The numbers of the SVGs mmdc said it wrote (" ✅ ./batch-N.svg"), each
// line printed after its file was complete.
py::set announced(py::handle log) {
    py::set numbers;
    py::object text;
    if (catch_python(PyExc_OSError, [&] { text = read_file(log, "rb"); })) return numbers;
    for (py::handle n : py::module_::import("re").attr("findall")(
             py::bytes("\xe2\x9c\x85 \\./batch-([0-9]+)\\.svg"), text))
        numbers.add(py::int_(py::reinterpret_borrow<py::object>(n)));
    return numbers;
}

// The drawings of each kind (one id for all drawings of a run) cut into runs
// of neighbours, about `jobs` runs in all, of like sizes, so that they end
// about together.
std::vector<std::vector<std::size_t>> cut(const std::vector<std::vector<std::size_t>>& kinds,
                                          std::size_t jobs) {
    std::vector<std::size_t> parts(kinds.size(), 1);
    for (std::size_t total = kinds.size(); total < jobs; ++total) {
        std::size_t best = kinds.size();
        for (std::size_t k = 0; k < kinds.size(); ++k)
            if (parts[k] < kinds[k].size() &&
                (best == kinds.size() ||
                 kinds[k].size() * parts[best] > kinds[best].size() * parts[k]))
                best = k;
        if (best == kinds.size()) break;
        ++parts[best];
    }
    std::vector<std::vector<std::size_t>> runs;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        std::size_t n = kinds[k].size(), from = 0;
        for (std::size_t p = 0; p < parts[k]; ++p) {
            std::size_t size = n / parts[k] + (p < n % parts[k] ? 1 : 0);
            runs.emplace_back(kinds[k].begin() + from, kinds[k].begin() + from + size);
            from += size;
        }
    }
    return runs;
}

}  // namespace

Drawings::Drawings(RenderSettings settings, py::object work_folder)
    : cache_(settings.timeout),
      work_(std::move(work_folder)),
      stand_in_(py::str("dorvex-svg-") +
                py::module_::import("secrets").attr("token_hex")(STAND_IN_BYTES)),
      renderer_(settings) {}

Drawings::~Drawings() = default;

std::size_t Drawings::add(DrawingSpec spec) {
    auto item = std::make_unique<Item>();
    item->spec = std::move(spec);
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

py::list Drawings::lone_argv(std::size_t id) const {
    const DrawingSpec& spec = items_.at(id)->spec;
    py::list argv = list_of("mmdc", "-i", spec.source, "-o", spec.dest);
    for (py::handle option : options(spec.svg_id)) argv.append(option);
    return argv;
}

void Drawings::take_cached(Item& item) {
    item.key = cache_.key(item.spec.text, options(item.spec.svg_id));
    py::object svg = cache_.get(item.key);
    // an SVG that cannot be put in place is drawn, and mmdc tells why
    item.done = !svg.is_none() && !catch_python(PyExc_OSError, [&] {
        py::module_::import("pathlib").attr("Path")(item.spec.dest).attr("write_bytes")(svg);
    });
}

void Drawings::plan() {
    planned_ = true;
    // Drawings that share a page need ids of their own. One batch gives all
    // its drawings one id, so those with an id of their own are drawn with
    // a stand-in id, replaced afterwards; the others keep mmdc's default.
    std::vector<std::vector<std::size_t>> kinds(2), lone;
    for (std::size_t id = 0; id < items_.size(); ++id) {
        Item& item = *items_[id];
        take_cached(item);
        if (item.done) continue;
        bool own_id = !item.spec.svg_id.is_none();
        // a stand-in id in the text would be replaced too
        if (batchable(item.spec.text) &&
            !(own_id && truthy(item.spec.text.attr("__contains__")(stand_in_.attr("encode")()))))
            kinds[own_id].push_back(id);
        else
            lone.push_back({id});
    }
    kinds.erase(std::remove_if(kinds.begin(), kinds.end(), [](auto& k) { return k.empty(); }),
                kinds.end());
    std::vector<std::vector<std::size_t>> runs = cut(kinds, renderer_.settings().jobs);
    runs.insert(runs.end(), lone.begin(), lone.end());
    std::sort(runs.begin(), runs.end());  // the earliest diagrams start first
    for (auto& run : runs) submit_batch(std::move(run));
}

void Drawings::submit_lone(std::size_t id) {
    Item& item = *items_[id];
    item.batch = nullptr;
    item.job = renderer_.submit({lone_argv(id), py::none(), {}});
}

void Drawings::submit_batch(std::vector<std::size_t> ids) {
    if (ids.size() == 1) return submit_lone(ids[0]);
    auto batch = std::make_unique<Batch>();
    batch->svg_id = items_[ids[0]]->spec.svg_id.is_none() ? py::none() : stand_in_;
    batch->folder = os_path().attr("join")(work_, "batch" + std::to_string(batches_.size() + 1));
    batch->log = os_path().attr("join")(batch->folder, "batch.log");
    py::object md = os_path().attr("join")(batch->folder, "batch.md");
    py::list blocks;
    for (std::size_t id : ids)
        blocks.append(py::bytes("```mermaid\n") + items_[id]->spec.text + py::bytes("```\n\n"));
    // without room for the batch the diagrams are drawn one by one
    if (catch_python(PyExc_OSError, [&] {
            g_chartsite["os"].attr("mkdir")(batch->folder);
            py::module_::import("pathlib").attr("Path")(md).attr("write_bytes")(
                py::bytes("").attr("join")(blocks));
        })) {
        for (std::size_t id : ids) submit_lone(id);
        return;
    }
    py::list argv = list_of("mmdc", "-i", md, "-o", md);
    for (py::handle option : options(batch->svg_id)) argv.append(option);
    // its output is read for progress; a failing diagram speaks when drawn alone
    py::object log = batch->log;
    batch->job = renderer_.submit({argv, log, [log] { return py::len(announced(log)); }});
    batch->ids = std::move(ids);
    for (std::size_t id : batch->ids) items_[id]->batch = batch.get();
    batches_.push_back(std::move(batch));
}

void Drawings::finish_batch(Batch& batch, bool ok) {
    // After a clean end every SVG is complete; after a failure or a time-out
    // only those mmdc announced.
    py::set said = announced(batch.log);
    std::vector<std::size_t> left;
    for (std::size_t k = 0; k < batch.ids.size(); ++k) {
        Item& item = *items_[batch.ids[k]];
        item.batch = nullptr;
        py::object svg =
            os_path().attr("join")(batch.folder, "batch-" + std::to_string(k + 1) + ".svg");
        py::object data;
        bool taken =
            (said.contains(py::int_(k + 1)) || ok) && !catch_python(PyExc_OSError, [&] {
                data = read_file(svg, "rb");
                if (!batch.svg_id.is_none())
                    data = data.attr("replace")(batch.svg_id.attr("encode")("utf-8"),
                                                py::str(item.spec.svg_id).attr("encode")("utf-8"));
                py::module_::import("pathlib")
                    .attr("Path")(item.spec.dest)
                    .attr("write_bytes")(data);
            });
        if (!taken) {  // drawn again, alone or in the next batch
            left.push_back(batch.ids[k]);
            continue;
        }
        item.done = true;
        keep(item);
    }
    if (left.empty()) return;
    submit_lone(left[0]);
    if (left.size() > 1) submit_batch(std::vector<std::size_t>(left.begin() + 1, left.end()));
}

void Drawings::keep(Item& item) {
    if (item.key.is_none()) return;
    py::object data;
    if (!catch_python(PyExc_OSError, [&] { data = read_file(item.spec.dest, "rb"); }))
        cache_.put(item.key, data);
}

py::object Drawings::wait(std::size_t id, py::handle shown) {
    if (!planned_) plan();
    Item& item = *items_.at(id);
    while (!item.done) {
        if (Batch* batch = item.batch) {
            finish_batch(*batch, renderer_.wait(batch->job, py::none()).is_none());
            continue;
        }
        item.error = renderer_.wait(item.job, shown);
        item.done = true;
        if (item.error.is_none()) keep(item);
    }
    return item.error;
}

}  // namespace dorvex

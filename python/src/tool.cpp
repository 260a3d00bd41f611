// The normalizer tool for Python: one vkImageNormalizer behind a
// readers-writer lock, so that many threads may run it at once while a
// setter or a training waits for them to finish.
#include <time.h>

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>

#include <imgnorm/archive.h>
#include <imgnorm/diag.h>
#include <imgnorm/normalizer.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

using Method = vkImageNormalizerDefs::Method;
using IntPair = std::pair<std::int32_t, std::int32_t>;

struct Tool {
    vkImageNormalizer tool;
    mutable std::shared_mutex lock;

    Tool() = default;
    explicit Tool(vkImageNormalizer t) : tool(std::move(t)) {}
};

// Locks, waiting without the GIL when another thread holds the lock.
template <class Lock>
Lock locked(std::shared_mutex& m) {
    Lock lock(m, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release nogil;
        lock.lock();
    }
    return lock;
}
std::shared_lock<std::shared_mutex> reading(const Tool& t) {
    return locked<std::shared_lock<std::shared_mutex>>(t.lock);
}
std::unique_lock<std::shared_mutex> writing(Tool& t) {
    return locked<std::unique_lock<std::shared_mutex>>(t.lock);
}

vkPair<std::int32_t> toPair(const IntPair& p) {
    return {p.first, p.second};
}

constexpr std::uint32_t kAllRecords = vkDiagDefs::eInputs | vkDiagDefs::eResults;

// Appends the recorder's records to records (a list, or None for none).
void appendRecords(const vkDiagObject& diag, const py::object& records) {
    if (records.is_none()) return;
    py::object make = py::module_::import("imgnorm._types").attr("DiagRecord");
    for (const vkDiagRecord& r : diag.records()) {
        py::object value =
            r.isImage() ? py::object(toArray(r.image(), false)) : py::object(py::str(r.text()));
        records.attr("append")(make(r.name(), r.level(), value));
    }
}

void checkRecords(const py::object& records) {
    if (!records.is_none() && !py::isinstance<py::list>(records))
        throw py::type_error("diagnostics must be a list (records are appended to it) or None");
}

void train(Tool& t, std::uint32_t methods, const py::object& records) {
    checkRecords(records);
    vkDiagObject diag;
    vkDiagObject* d = records.is_none() ? nullptr : &diag;
    releasedCall([&] {
        std::unique_lock lock(t.lock);
        t.tool.train(static_cast<Method>(methods), d, kAllRecords);
    });
    appendRecords(diag, records);
}

py::array run(const Tool& t, py::handle image, std::uint32_t method, const py::object& records) {
    checkRecords(records);
    const vkPelBuffer_const<std::uint8_t> view = imageArg(image, "image");
    vkDiagObject diag;
    vkDiagObject* d = records.is_none() ? nullptr : &diag;
    bool success = false;
    std::string message;
    vkPelBuffer<std::uint8_t> result = releasedCall([&] {
        std::shared_lock lock(t.lock);
        return t.tool.run(view, static_cast<Method>(method), success, message, d, kAllRecords);
    });
    appendRecords(diag, records);
    if (!success) raise("RunFailed", message);
    return toArray(result, true);
}

void setImage(Tool& t, py::handle obj, bool mask) {
    const vkPelBuffer_const<std::uint8_t> view =
        imageArg(obj, mask ? "mask" : "reference", true, mask);
    auto lock = writing(t);
    py::gil_scoped_release nogil;
    if (mask)
        t.tool.maskImage(view, true);
    else
        t.tool.referenceImage(view, true);
}

py::object imageOf(const Tool& t, bool mask) {
    auto lock = reading(t);
    const auto& image = mask ? t.tool.maskImage() : t.tool.referenceImage();
    if (!image.isBound()) return py::none();
    return toArray(image, false);
}

// Reads or changes one parameter under the lock.
template <class F>
auto read(const Tool& t, F f) {
    auto lock = reading(t);
    return f(t.tool);
}
template <class F>
void write(Tool& t, F f) {
    auto lock = writing(t);
    f(t.tool);
}

void setRunParameters(Tool& t, std::optional<std::pair<double, double>> tails,
                      std::optional<IntPair> range, std::optional<bool> keep) {
    write(t, [&](vkImageNormalizer& x) {
        x.set(tails ? vkPair<double>(tails->first, tails->second) : x.tailFractions(),
              range ? toPair(*range) : x.intensityVariationRange(),
              keep ? *keep : x.keepMaskedPixels());
    });
}

py::bytes toBytes(const Tool& t) {
    vkImageNormalizer copy = read(t, [](const vkImageNormalizer& tool) { return tool; });
    vkArchive archive;
    archive || copy;
    const auto& bytes = archive.bytes();
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A tool from a loading archive, which must hold exactly one tool.
std::unique_ptr<Tool> fromArchive(vkArchive& archive) {
    auto t = std::make_unique<Tool>();
    releasedCall([&] { archive || t->tool; });
    if (archive.remaining() != 0) raise("ArchiveError", "unexpected bytes after the stored tool");
    return t;
}

std::unique_ptr<Tool> fromBytes(const py::bytes& data) {
    const std::string_view bytes(data);
    vkArchive archive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return fromArchive(archive);
}

void save(const Tool& t, const std::string& path) {
    vkImageNormalizer copy = read(t, [](const vkImageNormalizer& tool) { return tool; });
    py::gil_scoped_release nogil;
    vkArchive archive;
    archive || copy;
    archive.saveToFile(path);
}

std::unique_ptr<Tool> load(const std::string& path) {
    vkArchive archive = [&] {
        py::gil_scoped_release nogil;
        return vkArchive::loadFromFile(path);
    }();
    return fromArchive(archive);
}

bool equal(const Tool& a, const Tool& b) {
    if (&a == &b) return true;
    const vkImageNormalizer copy = read(b, [](const vkImageNormalizer& tool) { return tool; });
    return read(a, [&](const vkImageNormalizer& tool) { return tool == copy; });
}

// Benchmark support: the CPU time of the calling thread, in seconds, that n
// runs take when called from C++, to set against the same runs called from
// Python (CPU time: what another process's load does not change).
double timeRunFromCpp(const Tool& t, py::handle image, std::uint32_t method, int n) {
    const vkPelBuffer_const<std::uint8_t> view = imageArg(image, "image");
    py::gil_scoped_release nogil;
    std::shared_lock lock(t.lock);
    bool success = false;
    std::string message;
    vkPelBuffer<std::uint8_t> out;
    const auto seconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    };
    const double start = seconds();
    for (int i = 0; i < n; ++i)
        out = t.tool.run(view, static_cast<Method>(method), success, message, nullptr, 0);
    return seconds() - start;
}

}  // namespace

vkImageNormalizer normalizerOf(py::handle tool) {
    const Tool& t = tool.cast<const Tool&>();
    return read(t, [](const vkImageNormalizer& x) { return x; });
}

void bindTool(py::module_& m) {
    py::class_<Tool>(m, "_Tool")
        .def(py::init<>())
        .def("copy",
             [](const Tool& t) {
                 return std::make_unique<Tool>(read(t, [](const auto& tool) { return tool; }));
             })
        .def("set_reference", [](Tool& t, py::handle a) { setImage(t, a, false); })
        .def("set_mask", [](Tool& t, py::handle a) { setImage(t, a, true); })
        .def("reference", [](const Tool& t) { return imageOf(t, false); })
        .def("mask", [](const Tool& t) { return imageOf(t, true); })
        .def("neighborhood",
             [](const Tool& t) {
                 return pairTuple(read(t, [](const auto& x) { return x.neighborhoodSize(); }));
             })
        .def("set_neighborhood",
             [](Tool& t, IntPair p) { write(t, [&](auto& x) { x.neighborhoodSize(toPair(p)); }); })
        .def("granularity",
             [](const Tool& t) {
                 return pairTuple(read(t, [](const auto& x) { return x.granularity(); }));
             })
        .def("set_granularity",
             [](Tool& t, IntPair p) { write(t, [&](auto& x) { x.granularity(toPair(p)); }); })
        .def("tails",
             [](const Tool& t) {
                 return pairTuple(read(t, [](const auto& x) { return x.tailFractions(); }));
             })
        .def("variation_range",
             [](const Tool& t) {
                 return pairTuple(
                     read(t, [](const auto& x) { return x.intensityVariationRange(); }));
             })
        .def("keep_masked",
             [](const Tool& t) {
                 return read(t, [](const auto& x) { return x.keepMaskedPixels(); });
             })
        // The run-time parameters keep the training; those not given keep
        // their values.
        .def("set_run_parameters", &setRunParameters, py::arg("tails") = py::none(),
             py::arg("variation_range") = py::none(), py::arg("keep_masked") = py::none())
        .def("trained_methods",
             [](const Tool& t) {
                 return static_cast<std::uint32_t>(
                     read(t, [](const auto& x) { return x.trainedMethods(); }));
             })
        .def("train", &train)
        .def("run", &run)
        .def("to_bytes", &toBytes)
        .def_static("from_bytes", &fromBytes)
        .def("save", &save)
        .def_static("load", &load)
        .def("__eq__", &equal)
        .def("_time_run_from_cpp", &timeRunFromCpp);
}

}  // namespace imgnorm_py

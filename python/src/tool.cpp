// The normalizer tools for Python: one vkImageNormalizer or
// vkDeepImageNormalizer behind a readers-writer lock, so that many threads
// may run it at once while a setter or a training waits for them to finish.
#include <time.h>

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <utility>

#include <imgnorm/archive.h>
#include <imgnorm/deep_normalizer.h>
#include <imgnorm/diag.h>
#include <imgnorm/normalizer.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace imgnorm_py {

namespace {

using Method = vkImageNormalizerDefs::Method;
using IntPair = std::pair<std::int32_t, std::int32_t>;

// N is vkImageNormalizer, or vkDeepImageNormalizer for uint16 arrays.
template <class N>
struct Tool {
    using Pel =
        typename std::decay_t<decltype(std::declval<const N&>().referenceImage())>::value_type;
    N tool;
    mutable std::shared_mutex lock;

    Tool() = default;
    explicit Tool(N t) : tool(std::move(t)) {}
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

// Reads or changes the tool under the lock.
template <class N, class F>
auto read(const Tool<N>& t, F f) {
    auto lock = locked<std::shared_lock<std::shared_mutex>>(t.lock);
    return f(t.tool);
}
template <class N, class F>
void write(Tool<N>& t, F f) {
    auto lock = locked<std::unique_lock<std::shared_mutex>>(t.lock);
    f(t.tool);
}
template <class N>
N copyOf(const Tool<N>& t) {
    return read(t, [](const N& x) { return x; });
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
        py::object value = !r.isImage()     ? py::object(py::str(r.text()))
                           : r.depth() > 8 ? py::object(toArray(r.deepImage(), false))
                                           : py::object(toArray(r.image(), false));
        records.attr("append")(make(r.name(), r.level(), value));
    }
}

// A recorder for a list of records, or none for None.
vkDiagObject* recorder(const py::object& records, vkDiagObject& diag) {
    if (records.is_none()) return nullptr;
    if (!py::isinstance<py::list>(records))
        throw py::type_error("diagnostics must be a list (records are appended to it) or None");
    return &diag;
}

template <class N>
void train(Tool<N>& t, std::uint32_t methods, const py::object& records) {
    vkDiagObject diag;
    vkDiagObject* d = recorder(records, diag);
    releasedCall([&] {
        std::unique_lock lock(t.lock);
        t.tool.train(static_cast<Method>(methods), d, kAllRecords);
    });
    appendRecords(diag, records);
}

template <class N>
py::array run(const Tool<N>& t, py::handle image, std::uint32_t method, const py::object& records) {
    vkDiagObject diag;
    vkDiagObject* d = recorder(records, diag);
    const auto view = imageArg<typename Tool<N>::Pel>(image, "image");
    bool success = false;
    std::string message;
    auto result = releasedCall([&] {
        std::shared_lock lock(t.lock);
        return t.tool.run(view, static_cast<Method>(method), success, message, d, kAllRecords);
    });
    appendRecords(diag, records);
    if (!success) raise("RunFailed", message);
    return toArray(result, true);
}

template <class N>
void setReference(Tool<N>& t, py::handle obj) {
    const auto view = imageArg<typename Tool<N>::Pel>(obj, "reference", true);
    write(t, [&](N& x) {
        py::gil_scoped_release nogil;
        x.referenceImage(view, true);
    });
}

template <class N>
void setMask(Tool<N>& t, py::handle obj) {
    const auto view = maskArg(obj);
    write(t, [&](N& x) {
        py::gil_scoped_release nogil;
        x.maskImage(view, true);
    });
}

template <class T>
py::object arrayOrNone(const vkPelBuffer_const<T>& image) {
    if (!image.isBound()) return py::none();
    return toArray(image, false);
}

template <class N>
void setRunParameters(Tool<N>& t, std::optional<std::pair<double, double>> tails,
                      std::optional<IntPair> range, std::optional<bool> keep) {
    write(t, [&](N& x) {
        x.set(tails ? vkPair<double>(tails->first, tails->second) : x.tailFractions(),
              range ? toPair(*range) : x.intensityVariationRange(),
              keep ? *keep : x.keepMaskedPixels());
    });
}

template <class N>
void save(const Tool<N>& t, const std::string& path) {
    N copy = copyOf(t);
    py::gil_scoped_release nogil;
    vkArchive archive;
    archive || copy;
    archive.saveToFile(path);
}

template <class N>
std::unique_ptr<Tool<N>> load(const std::string& path) {
    vkArchive archive = [&] {
        py::gil_scoped_release nogil;
        return vkArchive::loadFromFile(path);
    }();
    auto t = std::make_unique<Tool<N>>();
    loadWhole(archive, t->tool);
    return t;
}

template <class N>
bool equal(const Tool<N>& a, const Tool<N>& b) {
    if (&a == &b) return true;
    const N copy = copyOf(b);
    return read(a, [&](const N& tool) { return tool == copy; });
}

// Benchmark support: the CPU time of the calling thread, in seconds, that n
// runs take when called from C++, to set against the same runs called from
// Python (CPU time: what another process's load does not change).
template <class N>
double timeRunFromCpp(const Tool<N>& t, py::handle image, std::uint32_t method, int n) {
    const auto view = imageArg<typename Tool<N>::Pel>(image, "image");
    py::gil_scoped_release nogil;
    std::shared_lock lock(t.lock);
    bool success = false;
    std::string message;
    vkPelBuffer<typename Tool<N>::Pel> out;
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

// The class's methods; N's own constructor is bound by the caller.
template <class N>
py::class_<Tool<N>> bindToolClass(py::module_& m, const char* name) {
    using T = Tool<N>;
    // A getter of one parameter, as a Python tuple for pairs.
    const auto getter = [](auto get) {
        return [get](const T& t) {
            const auto value = read(t, get);
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, bool>)
                return py::object(py::bool_(value));
            else
                return py::object(pairTuple(value));
        };
    };
    py::class_<T> c(m, name);
    c.def("copy", [](const T& t) { return std::make_unique<T>(copyOf(t)); })
        .def("set_reference", &setReference<N>)
        .def("set_mask", &setMask<N>)
        .def("reference",
             [](const T& t) {
                 return arrayOrNone(read(t, [](const N& x) { return x.referenceImage(); }));
             })
        .def("mask",
             [](const T& t) {
                 return arrayOrNone(read(t, [](const N& x) { return x.maskImage(); }));
             })
        .def("neighborhood", getter([](const N& x) { return x.neighborhoodSize(); }))
        .def("set_neighborhood",
             [](T& t, IntPair p) { write(t, [&](N& x) { x.neighborhoodSize(toPair(p)); }); })
        .def("granularity", getter([](const N& x) { return x.granularity(); }))
        .def("set_granularity",
             [](T& t, IntPair p) { write(t, [&](N& x) { x.granularity(toPair(p)); }); })
        .def("tails", getter([](const N& x) { return x.tailFractions(); }))
        .def("variation_range", getter([](const N& x) { return x.intensityVariationRange(); }))
        .def("keep_masked", getter([](const N& x) { return x.keepMaskedPixels(); }))
        // The run-time parameters keep the training; those not given keep
        // their values.
        .def("set_run_parameters", &setRunParameters<N>, py::arg("tails") = py::none(),
             py::arg("variation_range") = py::none(), py::arg("keep_masked") = py::none())
        .def("trained_methods",
             [](const T& t) {
                 return static_cast<std::uint32_t>(
                     read(t, [](const N& x) { return x.trainedMethods(); }));
             })
        .def("train", &train<N>)
        .def("run", &run<N>)
        .def("to_bytes", [](const T& t) { return archiveBytes(copyOf(t)); })
        .def_static("from_bytes",
                    [](const py::bytes& data) {
                        auto t = std::make_unique<T>();
                        loadBytes(data, t->tool);
                        return t;
                    })
        .def("save", &save<N>)
        .def_static("load", &load<N>)
        .def("__eq__", &equal<N>)
        .def("_time_run_from_cpp", &timeRunFromCpp<N>);
    return c;
}

}  // namespace

template <class N>
N normalizerOf(py::handle tool) {
    return copyOf(tool.cast<const Tool<N>&>());
}
template vkImageNormalizer normalizerOf<vkImageNormalizer>(py::handle);
template vkDeepImageNormalizer normalizerOf<vkDeepImageNormalizer>(py::handle);

void bindTool(py::module_& m) {
    using Deep = Tool<vkDeepImageNormalizer>;
    bindToolClass<vkImageNormalizer>(m, "_Tool").def(py::init<>());
    bindToolClass<vkDeepImageNormalizer>(m, "_DeepTool")
        .def(py::init([](std::int32_t depth) { return std::make_unique<Deep>(vkDeepImageNormalizer(depth)); }),
             py::arg("depth") = 16)
        .def("depth", [](const Deep& t) { return read(t, [](const vkDeepImageNormalizer& x) { return x.depth(); }); });
}

}  // namespace imgnorm_py

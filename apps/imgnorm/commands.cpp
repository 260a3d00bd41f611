// train, run, info, compare and samples.
#include "commands.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <type_traits>

#include <imgnorm/archive.h>
#include <imgnorm/deep_normalizer.h>
#include <imgnorm/diag.h>
#include <imgnorm/flat_field.h>
#include <imgnorm/gain_normalizer.h>

#include "batch.h"
#include "diag_dump.h"
#include "image_io.h"
#include "image_stats.h"
#include "samples.h"

namespace imgnorm_cli {

namespace fs = std::filesystem;
using vkImageNormalizerDefs::Method;

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool isImageName(const fs::path& p) {
    const std::string ext = lower(p.extension().string());
    return ext == ".png" || ext == ".pgm" || ext == ".pnm" || ext == ".tif" || ext == ".tiff";
}

template <class Pel>
std::string sizeText(const vkPelBuffer_const<Pel>& image) {
    return std::to_string(image.width()) + " x " + std::to_string(image.height());
}

// Trains and writes what training recorded into diagDir (when given), also
// when training fails: the records show what the tool was given.
template <class Tool>
void trainTool(Tool& tool, Method methods, const std::string& diagDir) {
    vkDiagObject diag;
    vkDiagObject* recorder = diagDir.empty() ? nullptr : &diag;
    try {
        tool.train(methods, recorder, kDiagFlags);
    } catch (const std::exception& e) {
        if (recorder != nullptr) writeDiagRecords(diag, diagDir);
        throw std::runtime_error("cannot train for " + methodListText(methods) + ": " + e.what());
    }
    if (recorder != nullptr) writeDiagRecords(diag, diagDir);
}

// An image file for a tool of this pixel type: 8-bit samples for the 8-bit
// tool, 16-bit ones for the deep tool (FileError otherwise).
template <class Pel>
vkPelBuffer<Pel> readAs(const std::string& path) {
    if constexpr (sizeof(Pel) == 1) {
        return readImage(path);
    } else {
        GrayImage image = readGrayImage(path);
        if (!image.deep())
            throw FileError(
                path,
                "8-bit samples, but the tool is for 16-bit images: convert the file to 16 bits");
        return std::get<1>(image.pels);
    }
}

void writeAs(const std::string& path, const vkPelBuffer_const<std::uint8_t>& image, std::int32_t) {
    writeImage(path, image);
}
void writeAs(const std::string& path, const vkPelBuffer_const<std::uint16_t>& image,
             std::int32_t depth) {
    writeImage(path, image, depth);
}

std::int32_t depthOf(const vkImageNormalizer&) {
    return 8;
}
std::int32_t depthOf(const vkDeepImageNormalizer& tool) {
    return tool.depth();
}

template <class Pel>
void setImages(vkImageNormalizerBase<Pel>& tool, const std::string& reference,
               const std::string& mask) {
    const vkPelBuffer<Pel> ref = readAs<Pel>(reference);
    tool.referenceImage(ref, false);
    if (!mask.empty()) {
        const vkPelBuffer<std::uint8_t> m = readImage(mask);
        if (m.window() != ref.window())
            std::fprintf(stderr, "imgnorm: warning: mask %s is %s, reference %s is %s: only their common part is used\n",
                         mask.c_str(), sizeText(m).c_str(), reference.c_str(), sizeText(ref).c_str());
        tool.maskImage(m, false);
    }
}

// Set by SIGINT and SIGTERM during a batch: the images being normalized are
// finished and written, no other is started.
std::atomic<bool> gInterrupted{false};

// Ends the process as the signal would, without the temporary files of the
// writes in progress.
extern "C" void onFatalSignal(int signal) {
    removeTemporaryFiles();
    static const char message[] = "imgnorm: interrupted\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message, sizeof(message) - 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

extern "C" void onInterrupt(int signal) {
    gInterrupted.store(true);
    // A second signal ends the process at once.
    std::signal(signal, onFatalSignal);
}

class InterruptGuard {
public:
    InterruptGuard() {
        gInterrupted.store(false);
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &oldInt_);
        ::sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

}  // namespace

void requireParentFolder(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty() && !fs::is_directory(parent, ec)) throw FileError(path, "its folder does not exist");
}

std::vector<std::string> imageFolders(const std::string& root,
                                      const std::vector<std::string>& inputs) {
    std::vector<std::string> out;
    std::map<std::string, int> seen;
    for (const std::string& in : inputs) {
        std::string stem = fs::path(in).stem().string();
        if (stem.empty()) stem = "image";
        const int n = ++seen[stem];
        if (n > 1) stem += "-" + std::to_string(n);
        out.push_back((fs::path(root) / stem).string());
    }
    return out;
}

namespace {

std::vector<std::string> outputPaths(const RunOptions& o, const std::vector<std::string>& inputs) {
    if (!o.output.empty()) return {o.output};
    std::vector<std::string> out;
    for (const std::string& in : inputs) {
        fs::path name = fs::path(in).filename();
        if (!o.format.empty()) name.replace_extension("." + o.format);
        out.push_back((fs::path(o.outDir) / name).string());
    }
    return out;
}

void checkOutputs(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    std::map<std::string, std::string> targets;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        try {
            formatForPath(outputs[i]);
        } catch (const FileError& e) {
            throw UsageError(e.what());
        }
        const std::string key = fs::weakly_canonical(outputs[i]).string();
        const auto [it, added] = targets.emplace(key, inputs[i]);
        if (!added)
            throw UsageError("inputs " + it->second + " and " + inputs[i] + " would both be written to " + outputs[i]);
    }
    for (const std::string& in : inputs) {
        const auto it = targets.find(fs::weakly_canonical(in).string());
        if (it != targets.end()) throw UsageError("the output for " + in + " would overwrite it");
    }
}

// The flat-field calibration of a run from its --dark and --flat files, of
// the tool's pixel type and depth; uncalibrated without --flat.
template <class Pel>
vkFlatField flatFieldFor(const RunOptions& o, std::int32_t depth) {
    if (o.flat.empty()) {
        if (!o.dark.empty()) throw UsageError("--dark needs --flat: flat-field calibration takes both");
        return vkFlatField();
    }
    std::vector<vkPelBuffer_const<Pel>> dark, flat;
    for (const std::string& f : o.dark)
        dark.push_back(readAs<Pel>(f));
    for (const std::string& f : o.flat)
        flat.push_back(readAs<Pel>(f));
    try {
        if constexpr (sizeof(Pel) == 1)
            return vkFlatField(dark, flat);
        else
            return vkFlatField(dark, flat, depth);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot calibrate from the --dark and --flat frames: ") + e.what());
    }
}

}  // namespace

template <class Tool>
void saveTool(Tool& tool, const std::string& path) {
    vkArchive archive;
    try {
        archive || tool;
    } catch (const std::exception& e) {
        throw FileError(path, std::string("cannot store the tool: ") + e.what());
    }
    writeWholeFile(path, std::string(archive.bytes().begin(), archive.bytes().end()), true);
}

void installSignalHandlers() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = onFatalSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    // Beyond a file size limit (ulimit -f) a write then fails with EFBIG,
    // reported like a full disk, instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
}

template <class Tool>
Tool loadTool(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) throw FileError(path, "no such file");
    if (!fs::is_regular_file(path, ec)) throw FileError(path, "not a regular file");
    Tool tool;
    try {
        vkArchive archive = vkArchive::loadFromFile(path);
        archive || tool;
        if (archive.remaining() != 0) throw std::runtime_error("unexpected bytes after the stored tool");
    } catch (const std::exception& e) {
        throw FileError(path, std::string("cannot load the tool: ") + e.what());
    }
    return tool;
}

template <class Tool>
Tool prepareTool(const ToolSource& source, Method train, Method required,
                 const std::string& trainDiag, Tool tool) {
    std::string name;
    if (!source.tool.empty()) {
        name = source.tool;
        tool = loadTool<Tool>(source.tool);
        if (source.params.changesTraining()) {
            const Method trained = tool.trainedMethods();
            applyParams(source.params, tool);
            trainTool(tool, trained, trainDiag);
        } else {
            applyRunParams(source.params, tool);
        }
    } else if (!source.reference.empty()) {
        name = source.reference;
        applyParams(source.params, tool);
        setImages(tool, source.reference, source.mask);
        trainTool(tool, train, trainDiag);
    }
    const auto missing = static_cast<std::uint32_t>(required & ~tool.trainedMethods());
    if (missing != 0)
        throw std::runtime_error(name + ": the tool is not trained for " + methodListText(missing) +
                                 " (it is trained for: " + methodListText(tool.trainedMethods()) +
                                 ")");
    return tool;
}

template void saveTool(vkImageNormalizer&, const std::string&);
template void saveTool(vkDeepImageNormalizer&, const std::string&);
template vkImageNormalizer loadTool(const std::string&);
template vkDeepImageNormalizer loadTool(const std::string&);

vkImageNormalizer prepareTool(const ToolSource& source, Method train, Method required,
                              const std::string& trainDiag) {
    return prepareTool(source, train, required, trainDiag, vkImageNormalizer());
}

std::int32_t toolDepth(const ToolSource& source, std::int32_t depthOption) {
    if (!source.tool.empty()) {
        // The deep record's version byte is 1, followed by the depth.
        std::FILE* f = std::fopen(source.tool.c_str(), "rb");
        int first = EOF, second = EOF;
        if (f != nullptr) {
            first = std::fgetc(f);
            second = std::fgetc(f);
            std::fclose(f);
        }
        if (depthOption != 0)
            throw UsageError("--depth applies to reference images, not to a stored tool");
        return first == 1 && second >= 9 && second <= 16 ? second : 8;
    }
    if (source.reference.empty()) {
        if (depthOption != 0) throw UsageError("--depth needs --reference");
        return 8;
    }
    const GrayImage reference = readGrayImage(source.reference);
    if (!reference.deep()) {
        if (depthOption != 0)
            throw UsageError("--depth " + std::to_string(depthOption) + ": " + source.reference +
                             " holds 8-bit samples");
        return 8;
    }
    if (depthOption != 0) return depthOption;
    return reference.depth != 0 ? reference.depth : 16;
}

int runInputs(const std::vector<std::string>& inputs, int jobs, bool progressLine,
              const std::function<ItemResult(std::size_t, int)>& work,
              const std::function<void(std::size_t, const ItemResult&)>& onSuccess) {
    std::size_t failed = 0;
    auto report = [&](std::size_t i, const ItemResult& r) {
        if (r.ok) {
            onSuccess(i, r);
            std::fflush(stdout);
            return;
        }
        ++failed;
        // One line per failure of the item.
        for (std::size_t start = 0; start <= r.message.size();) {
            const std::size_t end = std::min(r.message.find('\n', start), r.message.size());
            std::fprintf(stderr, "failed  %s\n", r.message.substr(start, end - start).c_str());
            start = end + 1;
        }
    };
    ProgressLine progress(progressLine && ::isatty(STDERR_FILENO) != 0, inputs.size());
    std::size_t done = 0;
    {
        const InterruptGuard interrupt;
        done = runBatch(inputs.size(), jobs, work, report, progress, &gInterrupted);
    }
    if (done < inputs.size()) {
        std::fprintf(stderr, "imgnorm: interrupted after %zu of %zu images (%zu failed)\n", done,
                     inputs.size(), failed);
        return 130;
    }
    if (failed != 0) {
        std::fprintf(stderr, "imgnorm: %zu of %zu images failed\n", failed, inputs.size());
        return 1;
    }
    return 0;
}

std::vector<std::string> expandInputs(const std::vector<std::string>& inputs) {
    std::vector<std::string> out;
    for (const std::string& in : inputs) {
        std::error_code ec;
        if (!fs::is_directory(in, ec)) {
            out.push_back(in);
            continue;
        }
        std::vector<std::string> found;
        for (const fs::directory_entry& e : fs::directory_iterator(in, ec))
            if (isImageName(e.path()) && e.is_regular_file(ec)) found.push_back(e.path().string());
        if (ec) throw FileError(in, "cannot list the folder: " + ec.message());
        std::sort(found.begin(), found.end());
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

namespace {

template <class Tool>
int trainWith(Tool tool, const TrainOptions& o, Method methods) {
    applyParams(o.params, tool);
    setImages(tool, o.reference, o.mask);
    trainTool(tool, methods, o.diagDir);
    saveTool(tool, o.output);
    std::printf("trained for %s; stored in %s\n", methodListText(tool.trainedMethods()).c_str(), o.output.c_str());
    return 0;
}

}  // namespace

int trainCommand(const TrainOptions& o) {
    const Method methods = parseMethodList(o.methods);
    requireParentFolder(o.output);
    const std::int32_t depth = toolDepth({"", o.reference, o.mask, o.params}, o.depth);
    if (depth == 8) return trainWith(vkImageNormalizer(), o, methods);
    return trainWith(vkDeepImageNormalizer(depth), o, methods);
}

namespace {

template <class Tool>
int runWith(const RunOptions& o, const RunMethod& runMethod, const std::vector<std::string>& inputs,
            const std::vector<std::string>& outputs, Tool empty);

}  // namespace

int runCommand(const RunOptions& o) {
    const RunMethod runMethod = parseRunMethod(o.method);
    if (runMethod.extra == RunMethod::flatField && o.flat.empty())
        throw UsageError("--method flat-field needs --flat FILE (and usually --dark FILE)");
    if (o.jobs < 1) throw UsageError("-j " + std::to_string(o.jobs) + ": at least one job is needed");
    if (o.output.empty() == o.outDir.empty()) throw UsageError("give either -o OUT (for one image) or --out-dir DIR");
    if (!o.format.empty() && !o.output.empty()) throw UsageError("--format applies to --out-dir only");
    const std::vector<std::string> inputs = expandInputs(o.inputs);
    if (inputs.empty())
        throw UsageError(
            "no input images (the folders hold no .png, .pgm, .pnm, .tif or .tiff file)");
    if (!o.output.empty() && inputs.size() != 1)
        throw UsageError("-o takes one input image; use --out-dir DIR for " + std::to_string(inputs.size()) + " images");
    const std::vector<std::string> outputs = outputPaths(o, inputs);
    checkOutputs(inputs, outputs);

    if (o.tool.empty() && o.reference.empty() && runMethod.needsTool())
        throw UsageError("--method " + o.method + " needs a trained tool: give --tool TOOL or --reference REF");
    // Without a tool or a reference the first flat frame tells the depth.
    const bool framesOnly = o.tool.empty() && o.reference.empty() && !o.flat.empty();
    const std::int32_t depth =
        toolDepth({o.tool, framesOnly ? o.flat.front() : o.reference, o.mask, o.params}, o.depth);
    if (depth == 8) return runWith(o, runMethod, inputs, outputs, vkImageNormalizer());
    return runWith(o, runMethod, inputs, outputs, vkDeepImageNormalizer(depth));
}

namespace {

template <class Tool>
int runWith(const RunOptions& o, const RunMethod& runMethod, const std::vector<std::string>& inputs,
            const std::vector<std::string>& outputs, Tool empty) {
    const Method method = runMethod.method;
    using Pel = typename std::remove_cvref_t<decltype(empty.referenceImage())>::value_type;
    const Tool tool =
        prepareTool({o.tool, o.reference, o.mask, o.params}, method, method,
                    o.diagDir.empty() ? "" : (fs::path(o.diagDir) / "train").string(), empty);
    const vkFlatField flatField = flatFieldFor<Pel>(o, depthOf(tool));
    // The local gain corrections train on the normalizer's reference here;
    // the trained tool is immutable, so every worker shares it.
    std::conditional_t<sizeof(Pel) == 1, vkLocalGainNormalizer, vkDeepLocalGainNormalizer> gainTool;
    if (runMethod.extra == RunMethod::localGainOffset || runMethod.extra == RunMethod::localGain) {
        try {
            gainTool.train(tool);
        } catch (const std::exception& e) {
            throw std::runtime_error("cannot train for " + o.method + ": " + e.what());
        }
    }

    if (!o.outDir.empty()) {
        std::error_code ec;
        fs::create_directories(o.outDir, ec);
        if (ec) throw FileError(o.outDir, "cannot create the folder: " + ec.message());
    } else {
        requireParentFolder(o.output);
    }
    const std::vector<std::string> diagDirs =
        o.diagDir.empty() ? std::vector<std::string>() : imageFolders(o.diagDir, inputs);

    // Each worker runs its own copy of the tool.
    const int jobs = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(o.jobs), inputs.size()));
    std::vector<Tool> tools(static_cast<std::size_t>(jobs), tool);

    auto work = [&](std::size_t i, int worker) -> ItemResult {
        const std::string& in = inputs[i];
        vkPelBuffer<Pel> image = readAs<Pel>(in);
        vkDiagObject diag;
        vkDiagObject* recorder = diagDirs.empty() ? nullptr : &diag;
        ItemResult r;
        try {
            bool success = true;
            std::string message;
            if (flatField.isCalibrated()) image = flatField.apply(image);
            vkPelBuffer<Pel> result;
            switch (runMethod.extra) {
                case RunMethod::flatField:
                    result = image;
                    break;
                case RunMethod::localGainOffset:
                    result = gainTool.run(image, vkLocalGainCorrection::gainAndOffset);
                    break;
                case RunMethod::localGain:
                    result = gainTool.run(image, vkLocalGainCorrection::gainOnly);
                    break;
                case RunMethod::none:
                    result = tools[static_cast<std::size_t>(worker)].run(
                        image, method, success, message, recorder, kDiagFlags);
                    break;
            }
            if (!success) {
                r = {false, in + ": success=false: " + message};
            } else if (!result.isBound() || result.window().isNull()) {
                r = {false, in + ": the image does not overlap the reference"};
            } else {
                writeAs(outputs[i], result, depthOf(tool));
                r.ok = true;
                if (result.width() != image.width() || result.height() != image.height())
                    r.message = "output is " + sizeText(result) + " of the " + sizeText(image) +
                                " image: the part that the reference and the mask cover";
            }
        } catch (const std::exception& e) {
            r = {false, in + ": " + e.what()};
        }
        if (recorder != nullptr) {
            try {
                writeDiagRecords(diag, diagDirs[i]);
            } catch (const std::exception& e) {
                if (r.ok) r = {false, in + ": " + e.what()};
            }
        }
        return r;
    };

    return runInputs(inputs, jobs, o.progress, work, [&](std::size_t i, const ItemResult& r) {
        std::printf("ok      %s -> %s%s\n", inputs[i].c_str(), outputs[i].c_str(),
                    r.message.empty() ? "" : (" (" + r.message + ")").c_str());
    });
}

}  // namespace

namespace {

template <class Tool>
int infoWith(const std::string& toolPath) {
    const Tool tool = loadTool<Tool>(toolPath);
    auto imageText = [](const auto& image) {
        if (!image.isBound()) return std::string("none");
        return sizeText(image) + " at " + std::to_string(image.offset().x()) + "," + std::to_string(image.offset().y());
    };
    std::printf("tool:               %s\n", toolPath.c_str());
    if (depthOf(tool) != 8)
        std::printf("depth:              %d bits\n", static_cast<int>(depthOf(tool)));
    std::printf("trained methods:    %s\n", methodListText(tool.trainedMethods()).c_str());
    std::printf("reference image:    %s\n", imageText(tool.referenceImage()).c_str());
    std::printf("mask image:         %s\n", imageText(tool.maskImage()).c_str());
    std::printf("neighborhood:       %s\n", pairText(tool.neighborhoodSize()).c_str());
    std::printf("granularity:        %s\n", pairText(tool.granularity()).c_str());
    std::printf("tails:              %s\n", pairText(tool.tailFractions()).c_str());
    std::printf("range:              %s\n", pairText(tool.intensityVariationRange()).c_str());
    std::printf("keep masked pixels: %s\n", tool.keepMaskedPixels() ? "yes" : "no");
    return 0;
}

}  // namespace

int infoCommand(const std::string& toolPath) {
    if (toolDepth({toolPath, "", "", {}}, 0) == 8) return infoWith<vkImageNormalizer>(toolPath);
    return infoWith<vkDeepImageNormalizer>(toolPath);
}

int compareCommand(const std::string& a, const std::string& b, const std::string& maskPath) {
    const vkPelBuffer<std::uint8_t> ia = readImage(a), ib = readImage(b);
    const vkPelBuffer<std::uint8_t> mask = maskPath.empty() ? vkPelBuffer<std::uint8_t>() : readImage(maskPath);
    if (ia.window() != ib.window())
        throw std::runtime_error(a + " is " + sizeText(ia) + " but " + b + " is " + sizeText(ib) +
                                 ": compare needs two images of one size");
    if (mask.isBound() && mask.window() != ia.window())
        throw std::runtime_error("mask " + maskPath + " is " + sizeText(mask) + " but the images are " + sizeText(ia));
    const DifferenceStats d = absoluteDifference(ia, ib, mask);
    if (d.pixels == 0) throw std::runtime_error("mask " + maskPath + " selects no pixel");
    std::printf("mean_abs_diff=%.3f max_abs_diff=%d pixels=%llu\n", d.mean(), d.largest(),
                static_cast<unsigned long long>(d.pixels));
    return 0;
}

int samplesCommand(const std::string& folder, const std::string& size, const std::string& format) {
    std::int32_t w = 0, h = 0;
    const auto x = size.find('x');
    try {
        if (x == std::string::npos) throw std::invalid_argument(size);
        const vkPair<std::int32_t> p = parseIntPair(size.substr(0, x) + "," + size.substr(x + 1), "--size");
        w = p.x();
        h = p.y();
    } catch (const std::exception&) {
        throw UsageError("--size " + size + ": expected WIDTHxHEIGHT, for example 320x240");
    }
    std::vector<SampleImage> samples;
    try {
        samples = makeSamples(w, h);
    } catch (const std::invalid_argument& e) {
        throw UsageError("--size " + size + ": " + e.what());
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw FileError(folder, "cannot create the folder: " + ec.message());
    for (const SampleImage& s : samples) {
        const std::string file = s.name + "." + format;
        writeImage((fs::path(folder) / file).string(), s.image);
        std::printf("%-14s %s\n", file.c_str(), s.description.c_str());
    }
    return 0;
}

}  // namespace imgnorm_cli

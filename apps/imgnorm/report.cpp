// The report command: runs the methods with diagnostics, then draws each
// image's records (its inputs, the result, the linear fit's histogram and
// line, the local corrections' estimate) into sections of one page.
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <imgnorm/diag.h>
#include <imgnorm/pelfunc.h>

#include "commands.h"
#include "image_io.h"
#include "image_stats.h"
#include "report_render.h"

namespace imgnorm_cli {

namespace fs = std::filesystem;
using vkImageNormalizerDefs::Method;

namespace {

using Pels = vkPelBuffer_const<std::uint8_t>;

std::string sizeText(const Pels& image) {
    return std::to_string(image.width()) + " x " + std::to_string(image.height());
}

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// The methods of a set, in the order of their values.
std::vector<Method> methodsOf(std::uint32_t set) {
    std::vector<Method> out;
    for (std::uint32_t bit = 1; bit <= vkImageNormalizerDefs::kKnownMethods; bit <<= 1)
        if ((set & bit) != 0) out.push_back(static_cast<Method>(bit));
    return out;
}

// One method's run on one image, as the tool recorded and returned it.
struct MethodRun {
    Method method{};
    vkDiagObject diag;
    vkPelBuffer<std::uint8_t> result;
    bool ok = false;
    std::string failure;  // why not ok

    const vkDiagRecord* record(const std::string& name) const {
        for (const vkDiagRecord& r : diag.records())
            if (r.name() == name) return &r;
        return nullptr;
    }
    Pels image(const std::string& name) const {
        const vkDiagRecord* r = record(name);
        return r != nullptr && r->isImage() ? r->image() : Pels();
    }
};

// A figure (an image, a heat map, a plot) with its caption; href links it
// to a full-size view.
std::string figure(const std::string& content, const std::string& caption,
                   const std::string& href = "") {
    const std::string linked = href.empty() ? content
                                            : "<a href=\"" + report::hrefOf(href) +
                                                  "\" target=\"_blank\">" + content + "</a>";
    return "<figure>" + linked + "<figcaption>" + caption + "</figcaption></figure>";
}

std::string img(const report::Picture& p, const std::string& cls, const std::string& alt) {
    if (p.uri.empty()) return "<span class=\"muted\">(no pixels)</span>";
    return "<img class=\"" + cls + "\" src=\"" + p.uri + "\" width=\"" + std::to_string(p.width) +
           "\" height=\"" + std::to_string(p.height) + "\" alt=\"" + report::escapeHtml(alt) +
           "\">";
}

// A picture drawn by a CSS class that holds it once for many uses.
std::string classPicture(const std::string& cls, const report::Picture& p,
                         const std::string& extra = "") {
    return "<span class=\"bg " + cls + extra + "\" style=\"width:" + std::to_string(p.width) +
           "px;height:" + std::to_string(p.height) + "px\"></span>";
}

// What the summary table shows for one image and method.
struct SummaryRow {
    std::string image;
    std::string method;
    std::string anchor;
    bool ok = false;
    std::string status;
    bool measured = false;  // before and after are known
    double before = 0.0, after = 0.0;
    std::int32_t beforeP95 = 0, afterP95 = 0;
};

struct ImageReport {
    bool done = false;
    std::string heading;  // the section's title
    std::string html;     // the rest of its content
    std::vector<SummaryRow> rows;
    std::string runParameters;  // the first run's record
};

// What every image's section needs to know.
struct Context {
    const std::vector<std::string>& inputs;
    const std::vector<std::string>& folders;  // full-size images of each input
    const std::string& filesName;             // the files folder, relative to the report
    const std::vector<Method>& methods;
    const report::Picture& referenceThumb;  // drawn by the page's class "ref"
};

std::string relativeTo(const Context& c, std::size_t index, const std::string& file) {
    return c.filesName + "/" + fs::path(c.folders[index]).filename().string() + "/" + file;
}

std::vector<std::uint32_t> histogramOf(const Pels& image, const Pels& mask,
                                       const vkPelRect& window) {
    if (!image.isBound() || window.isNull()) return {};
    Pels view(image);
    view.window(view.window() & window);
    std::vector<std::uint32_t> h;
    vf_MaskedPelHistogram(view, mask, h);
    return h;
}

std::uint32_t largestCount(const std::vector<std::uint32_t>& h) {
    return h.empty() ? 0 : *std::max_element(h.begin(), h.end());
}

// Runs every method on the image and draws the image's section.
ImageReport reportImage(const Context& c, std::size_t index, const vkImageNormalizer& tool,
                        ItemResult& outcome) {
    const std::string& in = c.inputs[index];
    const std::string id = "i" + std::to_string(index + 1);
    ImageReport out;
    out.done = true;
    out.heading = "<h3>" + std::to_string(index + 1) + ". " +
                  report::escapeHtml(fs::path(in).filename().string()) + "</h3>";
    std::vector<std::string> failures;
    const auto row = [&](Method m) {
        SummaryRow r;
        r.image = in;
        r.method = methodCliName(m);
        r.anchor = id + "-" + r.method;
        return r;
    };

    vkPelBuffer<std::uint8_t> image;
    try {
        image = readImage(in);
    } catch (const std::exception& e) {
        outcome = {false, e.what()};
        out.html += "<p class=\"fail\">" + report::escapeHtml(e.what()) + "</p>";
        for (const Method m : c.methods) {
            SummaryRow r = row(m);
            r.status = "not read";
            out.rows.push_back(r);
        }
        return out;
    }

    std::vector<MethodRun> runs(c.methods.size());
    for (std::size_t k = 0; k < runs.size(); ++k) {
        MethodRun& run = runs[k];
        run.method = c.methods[k];
        try {
            bool success = false;
            std::string message;
            run.result = tool.run(image, run.method, success, message, &run.diag, kDiagFlags);
            if (!success)
                run.failure = "success=false: " + message;
            else if (!run.result.isBound() || run.result.window().isNull())
                run.failure = "the image does not overlap the reference";
            run.ok = run.failure.empty();
        } catch (const std::exception& e) {
            run.failure = e.what();
        }
        if (!run.ok) failures.push_back(in + ": " + methodCliName(run.method) + ": " + run.failure);
    }

    if (const vkDiagRecord* p = runs.front().record("Run-time parameters"); p != nullptr)
        out.runParameters = p->text();
    // The inputs as the tool recorded them (every run records the same).
    const Pels input = runs.front().image("Image Normalization");
    const Pels reference = runs.front().image("referenceImage");
    const Pels mask = runs.front().image("maskImage");
    vkPelRect common = input.window() & reference.window();
    if (mask.isBound()) common &= mask.window();
    const DifferenceStats before = absoluteDifference(input, reference, mask);

    // Full-size views: the run-time image and each result.
    try {
        fs::create_directories(c.folders[index]);
        writeImage((fs::path(c.folders[index]) / "image.png").string(), input);
        for (const MethodRun& run : runs)
            if (run.ok)
                writeImage(
                    (fs::path(c.folders[index]) / (methodCliName(run.method) + ".png")).string(),
                    run.result);
    } catch (const std::exception& e) {
        failures.push_back(in + ": " + e.what());
    }

    // One scale for the histograms of the image: the largest count of any.
    const std::vector<std::uint32_t> refHist = histogramOf(reference, mask, common);
    const std::vector<std::uint32_t> runHist = histogramOf(input, mask, common);
    std::vector<std::vector<std::uint32_t>> resultHists;
    std::uint32_t top = std::max(largestCount(refHist), largestCount(runHist));
    for (const MethodRun& run : runs) {
        resultHists.push_back(run.ok ? histogramOf(run.result, mask, common)
                                     : std::vector<std::uint32_t>());
        top = std::max(top, largestCount(resultHists.back()));
    }

    const report::Picture runThumb = report::grayThumbnail(input);
    const report::Picture beforeMap = report::differenceMap(input, reference, mask);
    out.html += "<p class=\"muted\">" + report::escapeHtml(in) + " &middot; " + sizeText(input) +
                " &middot; " + std::to_string(before.pixels) + " pixels compared</p>";
    out.html += "<style>";
    if (!runThumb.uri.empty())
        out.html += "." + id + "-rt{background-image:url(" + runThumb.uri + ")}";
    if (!beforeMap.uri.empty())
        out.html += "." + id + "-bd{background-image:url(" + beforeMap.uri + ")}";
    out.html += "</style>";
    out.html += "<svg class=\"defs\" width=\"0\" height=\"0\" aria-hidden=\"true\">" +
                report::histogramPath(refHist, top, id + "-href") +
                report::histogramPath(runHist, top, id + "-hrun") + "</svg>";
    if (common.isNull())
        out.html +=
            "<p class=\"fail\">The image does not overlap the reference (and the mask).</p>";

    for (std::size_t k = 0; k < runs.size(); ++k) {
        const MethodRun& run = runs[k];
        const std::string name = methodCliName(run.method);
        SummaryRow r = row(run.method);
        r.ok = run.ok;
        r.status = run.ok ? "success" : run.failure;
        std::string block = "<div class=\"method\" id=\"" + r.anchor +
                            "\"><div class=\"facts\"><h4>" + name + "</h4>";
        std::string plots;
        plots += figure(classPicture("ref", c.referenceThumb), "reference",
                        c.filesName + "/reference.png");
        plots += figure(classPicture(id + "-rt", runThumb), "run-time image",
                        relativeTo(c, index, "image.png"));
        if (run.ok) {
            const DifferenceStats after = absoluteDifference(run.result, reference, mask);
            r.measured = before.pixels != 0;
            r.before = before.mean();
            r.after = after.mean();
            r.beforeP95 = before.percentile(0.95);
            r.afterP95 = after.percentile(0.95);
            plots += figure(img(report::grayThumbnail(run.result), "thumb", name + " result"),
                            "result (" + name + ")", relativeTo(c, index, name + ".png"));
            plots += figure(classPicture(id + "-bd", beforeMap, " heat"),
                            "|run-time &minus; reference|");
            plots += figure(img(report::differenceMap(run.result, reference, mask), "thumb heat",
                                "difference after"),
                            "|result &minus; reference|");
        } else {
            plots += figure(classPicture(id + "-bd", beforeMap, " heat"),
                            "|run-time &minus; reference|");
        }
        plots += figure(report::histogramPlot(id + "-href", id + "-hrun", resultHists[k], top),
                        "histograms under the mask");
        if (const vkDiagRecord* line = run.record("Gray line"); line != nullptr) {
            const report::GrayLine fit = report::parseGrayLine(line->text());
            const std::string caption =
                fit.fitted ? "joint histogram (log density), the cells the fit used, the line "
                             "reference = " +
                                 fixed(fit.intercept, 2) + " + " + fixed(fit.slope, 4) +
                                 " &times; run-time and &plusmn;" + fixed(fit.tolerance, 1) +
                                 " beyond which pairs were trimmed"
                           : "joint histogram (log density); no line was fitted";
            plots += figure(report::jointHistogramPlot(run.image("Joint histogram"),
                                                       run.image("Line band"), fit),
                            caption);
        }
        if (const Pels estimate = run.image("Background estimate"); estimate.isBound()) {
            std::int32_t limit = 1;
            const report::Picture field = report::correctionMap(estimate, limit);
            // Shown over the same area as the other maps.
            report::Picture shown = field;
            if (beforeMap.width > 0) {
                shown.width = beforeMap.width;
                shown.height = beforeMap.height;
            }
            plots += figure(
                img(shown, "thumb", "correction field") + report::correctionLegend(limit),
                "correction the method added: 128 &minus; background estimate, estimated on a " +
                    sizeText(estimate) + " grid (hatched: no estimate)");
        }
        block +=
            "<table><tr><th></th><th>mean |diff|</th><th>95th pct</th></tr><tr><td "
            "class=\"l\">before</td><td>" +
            (r.measured ? fixed(r.before, 2) : "&ndash;") + "</td><td>" +
            (r.measured ? std::to_string(r.beforeP95) : "&ndash;") +
            "</td></tr><tr><td class=\"l\">after</td><td>" +
            (r.measured ? fixed(r.after, 2) : "&ndash;") + "</td><td>" +
            (r.measured ? std::to_string(r.afterP95) : "&ndash;") + "</td></tr></table>";
        block += run.ok ? "<p class=\"ok\">success</p>"
                        : "<p class=\"fail\">" + report::escapeHtml(run.failure) + "</p>";
        out.html += block + report::differenceLegend() + "</div>" + plots + "</div>\n";
        out.rows.push_back(r);
    }
    if (!failures.empty()) {
        std::string message;
        for (const std::string& f : failures)
            message += (message.empty() ? "" : "\n") + f;
        outcome = {false, message};
    } else {
        outcome = {true, ""};
    }
    return out;
}

// The first kEagerImages sections are part of the page as it loads; the
// others are kept as text that the page's script turns into their section
// when it comes near the view or a link leads into it, so that a report of
// hundreds of images opens at once.
constexpr std::size_t kEagerImages = 8;

std::string imageSection(const ImageReport& image, std::size_t index, std::size_t methods) {
    const std::string id = "i" + std::to_string(index + 1);
    if (!image.done) return "";
    std::string lower = image.html;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    // (The content escapes every '<' of names and messages, so it cannot end
    // the script early; checked all the same.)
    if (index < kEagerImages || lower.find("</script") != std::string::npos)
        return "<section class=\"image\" id=\"" + id + "\">" + image.heading + image.html +
               "</section>\n";
    return "<section class=\"image lazy\" id=\"" + id +
           "\" style=\"min-height:" + std::to_string(60 + 330 * methods) + "px\">" + image.heading +
           "<script type=\"text/html\" class=\"later\">" + image.html + "</script></section>\n";
}

std::string summaryTable(const std::vector<ImageReport>& images) {
    std::string out =
        "<table class=\"sortable\" id=\"summary-table\"><thead><tr><th class=\"l\">Image</th><th "
        "class=\"l\">Method</th>"
        "<th class=\"l\">Result</th><th>Before</th><th>After</th><th>Improvement</th><th>Before "
        "p95</th>"
        "<th>After p95</th></tr></thead><tbody>";
    for (const ImageReport& image : images)
        for (const SummaryRow& r : image.rows) {
            const auto cell = [&](const std::string& text, const std::string& value) {
                return "<td data-v=\"" + value + "\">" + text + "</td>";
            };
            const double gain = r.before - r.after;
            out += "<tr><td class=\"l\"><a href=\"#" + r.anchor + "\">" +
                   report::escapeHtml(r.image) + "</a></td><td class=\"l\">" + r.method +
                   "</td><td class=\"l " + (r.ok ? "ok" : "fail") + "\">" +
                   report::escapeHtml(r.status) + "</td>";
            if (r.measured) {
                const std::string percent =
                    r.before > 0 ? " (" + fixed(100.0 * gain / r.before, 0) + "%)" : "";
                out += cell(fixed(r.before, 2), fixed(r.before, 4)) +
                       cell(fixed(r.after, 2), fixed(r.after, 4)) +
                       cell(fixed(gain, 2) + percent, fixed(gain, 4)) +
                       cell(std::to_string(r.beforeP95), std::to_string(r.beforeP95)) +
                       cell(std::to_string(r.afterP95), std::to_string(r.afterP95));
            } else {
                for (int i = 0; i < 5; ++i)
                    out += cell("&ndash;", "");
            }
            out += "</tr>";
        }
    return out + "</tbody></table>";
}

std::string toolSection(const vkImageNormalizer& tool, const std::string& source,
                        const std::string& runParameters) {
    const auto imageText = [](const Pels& image) {
        return image.isBound() ? sizeText(image) : std::string("none");
    };
    const auto fact = [](const std::string& name, const std::string& value) {
        return "<tr><th class=\"l\">" + name + "</th><td class=\"l\">" + report::escapeHtml(value) +
               "</td></tr>";
    };
    std::string out = "<section id=\"tool\"><h2>Tool</h2><table>";
    out += fact("source", source) + fact("trained methods", methodListText(tool.trainedMethods())) +
           fact("reference image", imageText(tool.referenceImage())) +
           fact("mask image", imageText(tool.maskImage())) +
           fact("neighborhood", imgnorm_cli::pairText(tool.neighborhoodSize())) +
           fact("granularity", imgnorm_cli::pairText(tool.granularity())) +
           fact("tails", imgnorm_cli::pairText(tool.tailFractions())) +
           fact("range", imgnorm_cli::pairText(tool.intensityVariationRange())) +
           fact("keep masked pixels", tool.keepMaskedPixels() ? "yes" : "no");
    out += "</table>";
    if (!runParameters.empty())
        out += "<h3>Run-time parameters (as the first run recorded them)</h3><pre>" +
               report::escapeHtml(runParameters) + "</pre>";
    return out + "</section>";
}

}  // namespace

std::string reportFilesFolder(const std::string& reportPath) {
    fs::path p(reportPath);
    return (p.parent_path() / (p.stem().string() + "_files")).string();
}

int reportCommand(const ReportOptions& o) {
    if (o.jobs < 1)
        throw UsageError("-j " + std::to_string(o.jobs) + ": at least one job is needed");
    std::string ext = fs::path(o.output).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char ch) { return static_cast<char>(std::tolower(ch)); });
    if (ext != ".html" && ext != ".htm")
        throw UsageError("-o " + o.output + ": the report is an HTML file: name it FILE.html");
    if (o.tool.empty() && o.reference.empty())
        throw UsageError("report needs a tool: give --tool TOOL or --reference REF");
    const std::vector<std::string> inputs = expandInputs(o.inputs);
    if (inputs.empty())
        throw UsageError(
            "no input images (the folders hold no .png, .pgm, .pnm, .tif or .tiff file)");
    std::uint32_t wanted = 0;
    if (!o.methods.empty()) {
        wanted = parseMethodList(o.methods);
        if (wanted == 0)
            throw UsageError("--methods " + o.methods +
                             ": name at least one method other than identity");
    }
    requireParentFolder(o.output);

    const Method all = static_cast<Method>(vkImageNormalizerDefs::kKnownMethods);
    const vkImageNormalizer tool = prepareTool({o.tool, o.reference, o.mask, o.params},
                                               wanted != 0 ? static_cast<Method>(wanted) : all,
                                               static_cast<Method>(wanted), "");
    const std::vector<Method> methods = methodsOf(wanted != 0 ? wanted : tool.trainedMethods());
    if (methods.empty())
        throw std::runtime_error(o.tool + ": the tool is not trained for any method");

    const std::string files = reportFilesFolder(o.output);
    std::error_code ec;
    fs::create_directories(files, ec);
    if (ec) throw FileError(files, "cannot create the folder: " + ec.message());
    writeImage((fs::path(files) / "reference.png").string(), tool.referenceImage());
    const std::vector<std::string> folders = imageFolders(files, inputs);
    const std::string filesName = fs::path(files).filename().string();
    const report::Picture referenceThumb = report::grayThumbnail(tool.referenceImage());
    const Context context{inputs, folders, filesName, methods, referenceThumb};

    const int jobs =
        static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(o.jobs), inputs.size()));
    std::vector<vkImageNormalizer> tools(static_cast<std::size_t>(jobs), tool);
    std::vector<ImageReport> images(inputs.size());
    const int status = runInputs(
        inputs, jobs, o.progress,
        [&](std::size_t i, int worker) {
            ItemResult outcome;
            try {
                images[i] =
                    reportImage(context, i, tools[static_cast<std::size_t>(worker)], outcome);
            } catch (const std::exception& e) {
                // Drawing failed (memory, say): the section says so.
                images[i].done = true;
                images[i].heading =
                    "<h3>" + std::to_string(i + 1) + ". " + report::escapeHtml(inputs[i]) + "</h3>";
                images[i].html = "<p class=\"fail\">" + report::escapeHtml(e.what()) + "</p>";
                outcome = {false, inputs[i] + ": " + e.what()};
            }
            return outcome;
        },
        [&](std::size_t i, const ItemResult&) { std::printf("ok      %s\n", inputs[i].c_str()); });

    std::size_t done = 0;
    std::string runParameters;
    for (const ImageReport& image : images) {
        done += image.done ? 1 : 0;
        if (runParameters.empty()) runParameters = image.runParameters;
    }
    const std::string source = o.tool.empty() ? "trained here on " + o.reference : o.tool;
    std::string page =
        report::pageStart("imgnorm report: " + std::to_string(inputs.size()) + " images");
    page += report::sharedSvgDefinitions();
    page += "<style>.ref{background-image:url(" + referenceThumb.uri + ")}</style>";
    page +=
        "<h1>imgnorm report</h1><p class=\"muted\">" + std::to_string(inputs.size()) +
        " images &times; " + std::to_string(methods.size()) + " methods (" +
        methodListText(static_cast<std::uint32_t>(wanted != 0 ? wanted : tool.trainedMethods())) +
        "); tool: " + report::escapeHtml(source) + "</p>";
    if (done < inputs.size())
        page += "<p class=\"fail\">Interrupted: " + std::to_string(done) + " of " +
                std::to_string(inputs.size()) + " images were run.</p>";
    page +=
        "<section id=\"summary\"><h2>Summary</h2><p>Mean absolute difference to the reference, in "
        "gray levels, "
        "over the pixels under the mask: before (the run-time image) and after each method, the "
        "improvement "
        "(before &minus; after) and the 95th percentiles. Click a heading to sort; the image links "
        "to its "
        "details.</p>" +
        summaryTable(images) + "</section>";
    page += toolSection(tool, source, runParameters);
    page += "<section id=\"command\"><h2>Command line</h2><pre>" +
            report::escapeHtml(o.commandLine) + "</pre></section>";
    page += "<section id=\"images\"><h2>Images</h2><p>Thumbnails link to the full-size images in " +
            report::escapeHtml(filesName) + "/. " + report::differenceLegend() + "</p>";
    for (std::size_t i = 0; i < images.size(); ++i)
        page += imageSection(images[i], i, methods.size());
    page += "</section>" + report::pageEnd();
    writeWholeFile(o.output, page);
    std::printf("report  %s\n", o.output.c_str());
    return status;
}

}  // namespace imgnorm_cli

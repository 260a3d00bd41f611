// imgnorm: train a gray-level normalizer on a golden image and normalize
// run-time images with it, from the shell.
#include <CLI/CLI.hpp>

#include <imgnorm/threads.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "commands.h"
#include "options.h"
#include "report.h"

#ifndef IMGNORM_VERSION
#define IMGNORM_VERSION "unknown"
#endif

namespace {

using namespace imgnorm_cli;

const char* const kImageHelp =
    "Images: grayscale PNG (8-bit, also 1, 2 and 4-bit gray and palettes of grays, and 16-bit), "
    "PGM (P5 "
    "or P2; a maximum value below 255 is rescaled to 0..255, one above 255 gives 16-bit samples) "
    "and "
    "TIFF (8 or 16-bit; uncompressed, LZW, Deflate or PackBits; strips or tiles). A 16-bit "
    "reference "
    "makes a tool for deep images of the depth the file states (PNG sBIT, PGM maximum value, TIFF "
    "MaxSampleValue; --depth D declares it, else 16 bits): its run-time images must be 16-bit "
    "files "
    "with values of that depth, and its outputs keep the depth. Colour and alpha-channel images "
    "are "
    "rejected with an error naming the file. Outputs are written whole or not at all.";

const char* const kExitHelp =
    "Exit status: 0 success, 1 an image or file failed, 2 wrong usage, 130 interrupted (the images in progress "
    "are finished, no other is started).";

// The parameter options shared by train and run; only the ones given are
// applied, the others keep the tool's value (the defaults shown).
struct ParamOptions {
    std::string neighborhood, granularity, tails, range;
    bool keepMasked = false;
    bool noKeepMasked = false;
    CLI::Option* neighborhoodOpt = nullptr;
    CLI::Option* granularityOpt = nullptr;
    CLI::Option* tailsOpt = nullptr;
    CLI::Option* rangeOpt = nullptr;
    CLI::Option* keepOpt = nullptr;
    CLI::Option* noKeepOpt = nullptr;

    void add(CLI::App& app, bool negatableKeep) {
        const vkImageNormalizer defaults;
        neighborhoodOpt = app.add_option("--neighborhood", neighborhood,
                                         "X,Y: neighbourhood of the local corrections, in pixels (each >= 1)")
                              ->default_str(pairText(defaults.neighborhoodSize()))
                              ->type_name("X,Y");
        granularityOpt = app.add_option("--granularity", granularity,
                                        "X,Y: the local corrections work on a grid this many pixels apart, "
                                        "then resample (each >= 1; 2 or 4 is much faster)")
                             ->default_str(pairText(defaults.granularity()))
                             ->type_name("X,Y");
        tailsOpt = app.add_option("--tails", tails,
                                  "LO,HI: fractions of the histograms whose gray levels the tails method matches "
                                  "(0 <= LO <= HI <= 1)")
                       ->default_str(pairText(defaults.tailFractions()))
                       ->type_name("LO,HI");
        rangeOpt = app.add_option("--range", range,
                                  "LO,HI: largest correction of the local corrections downwards and upwards, in "
                                  "gray levels (LO <= 0 <= HI)")
                       ->default_str(pairText(defaults.intensityVariationRange()))
                       ->type_name("LO,HI");
        const std::string keepHelp = std::string("copy the pixels outside the mask into the output unchanged (default: ") +
                                     (defaults.keepMaskedPixels() ? "on" : "off") + ")";
        keepOpt = app.add_flag("--keep-masked", keepMasked, keepHelp);
        if (negatableKeep) {
            noKeepOpt = app.add_flag("--no-keep-masked", noKeepMasked, std::string("normalize the pixels outside the mask too (with --tool: "
                                                         "overrides a stored --keep-masked)"));
            noKeepOpt->excludes(keepOpt);
        }
    }

    ToolParams params() const {
        ToolParams p;
        if (neighborhoodOpt->count() != 0) p.neighborhood = neighborhood;
        if (granularityOpt->count() != 0) p.granularity = granularity;
        if (tailsOpt->count() != 0) p.tails = tails;
        if (rangeOpt->count() != 0) p.range = range;
        if (keepOpt->count() != 0) p.keepMasked = true;
        if (noKeepOpt != nullptr && noKeepOpt->count() != 0) p.keepMasked = false;
        return p;
    }
};

// The command line as a shell would take it back: words with characters
// the shell treats specially are single-quoted.
std::string commandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        const std::string word = i == 0 ? "imgnorm" : argv[i];
        const bool plain =
            !word.empty() && word.find_first_not_of(
                                 "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789-_=.,/:+%@") == std::string::npos;
        if (!line.empty()) line += ' ';
        if (plain) {
            line += word;
            continue;
        }
        line += '\'';
        for (const char c : word)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "imgnorm: gray-level normalization of 8-bit and 9..16-bit images for machine vision.\n"
        "Train a tool on a golden image (and a mask), store it, and normalize run-time images with "
        "one of "
        "seven methods.");
    app.set_version_flag("--version", IMGNORM_VERSION);
    app.require_subcommand(1);
    // Accepted before or after the subcommand's name.
    app.fallthrough();
    std::int32_t threads = 0;
    CLI::Option* threadsOpt =
        app.add_option("--threads", threads,
                       "threads that work on the rows of one image (default: IMGNORM_NUM_THREADS, else all cores); "
                       "with run -j J the J images at once share them, and 1 runs each image on its own job's "
                       "thread alone")
            ->check(CLI::Range(1, 1024))
            ->type_name("N");
    app.footer(std::string(kImageHelp) + "\n" + kExitHelp);

    // train
    TrainOptions train;
    ParamOptions trainParams;
    CLI::App* trainCmd = app.add_subcommand("train", "Train a tool on a reference image and store it");
    trainCmd->add_option("--reference", train.reference, "the golden (reference) image")->required()->type_name("REF");
    trainCmd->add_option("--mask", train.mask, "mask image: 0 excludes a pixel, any other value includes it")
        ->type_name("MASK");
    trainCmd->add_option("--methods", train.methods,
                         "comma-separated methods to train for, or all (" + methodNamesHelp() + ")")
        ->required()
        ->type_name("LIST");
    trainParams.add(*trainCmd, false);
    trainCmd->add_option("-o,--output", train.output, "file to store the trained tool in")->required()->type_name("TOOL");
    trainCmd->add_option("--diag", train.diagDir, "write what training records into this folder")->type_name("DIR");
    trainCmd
        ->add_option("--depth", train.depth,
                     "significant bits of a 16-bit reference (9..16; default: what the file "
                     "states, else 16)")
        ->check(CLI::Range(9, 16))
        ->type_name("D");
    trainCmd->footer(std::string(kImageHelp) + "\n" + kExitHelp);

    // run
    RunOptions run;
    ParamOptions runParams;
    CLI::App* runCmd = app.add_subcommand("run", "Normalize images with a stored tool, or with one trained here");
    CLI::Option* toolOpt = runCmd->add_option("--tool", run.tool, "a tool stored by imgnorm train")->type_name("TOOL");
    CLI::Option* refOpt =
        runCmd->add_option("--reference", run.reference, "train here on this golden image instead of --tool")
            ->type_name("REF");
    runCmd->add_option("--mask", run.mask, "mask image for --reference")->type_name("MASK")->needs(refOpt);
    toolOpt->excludes(refOpt);
    runCmd->add_option("--method", run.method, "the method to run (" + methodNamesHelp(true) + ")")
        ->required()
        ->type_name("NAME");
    runParams.add(*runCmd, true);
    CLI::Option* outOpt = runCmd
                              ->add_option("-o,--output", run.output,
                                           "output file, for one input image (.png, .pgm or .tif)")
                              ->type_name("OUT");
    CLI::Option* outDirOpt = runCmd->add_option("--out-dir", run.outDir,
                                                "write each output under the input's file name into this folder "
                                                "(created when missing)")
                                 ->type_name("DIR");
    outOpt->excludes(outDirOpt);
    runCmd
        ->add_option("--format", run.format,
                     "with --out-dir: write all outputs as png, pgm or tif (default: as the input)")
        ->check(CLI::IsMember({"png", "pgm", "tif"}))
        ->type_name("FMT");
    runCmd->add_option("-j,--jobs", run.jobs,
                       "normalize this many images at once, each with its own copy of the tool; their rows share "
                       "the --threads threads")
        ->check(CLI::Range(1, 256))
        ->capture_default_str()
        ->type_name("N");
    runCmd
        ->add_option(
            "--depth", run.depth,
            "with --reference: significant bits of a 16-bit reference (9..16; default: what the "
            "file states, else 16)")
        ->check(CLI::Range(9, 16))
        ->type_name("D")
        ->needs(refOpt);
    runCmd->add_option("--diag", run.diagDir,
                       "write what training and each run record into this folder (one subfolder per image)")
        ->type_name("DIR");
    runCmd->add_option("--dark", run.dark,
                       "dark frame for flat-field calibration (repeat to average several); needs --flat")
        ->allow_extra_args(false)
        ->type_name("FILE");
    runCmd->add_option("--flat", run.flat,
                       "flat frame (repeat to average several): each input is calibrated, "
                       "out = (raw - dark) * mean(flat - dark) / (flat - dark), before the method runs")
        ->allow_extra_args(false)
        ->type_name("FILE");
    bool noProgress = false;
    runCmd->add_flag("--no-progress", noProgress, "no progress line (it is shown only when stderr is a terminal)");
    runCmd
        ->add_option(
            "INPUT", run.inputs,
            "images, or folders whose .png, .pgm, .pnm, .tif and .tiff files are all normalized")
        ->required()
        ->type_name("INPUT...");
    runCmd->footer(std::string("Images that fail are reported on stderr (a global method that cannot build its gray "
                               "map reports success=false and its message); the others are still normalized. ") +
                   "With --tool, --tails, --range and --keep-masked change the stored values for this run; "
                   "--neighborhood and --granularity retrain the tool for its methods.\n" + kImageHelp + "\n" + kExitHelp);

    // report
    ReportOptions report;
    ParamOptions reportParams;
    CLI::App* reportCmd = app.add_subcommand("report",
                                             "Run methods on a batch of images and write an HTML "
                                             "report: thumbnails, difference heat maps, "
                                             "histograms, the linear fit's line and the local "
                                             "corrections' estimates, and a sortable summary");
    CLI::Option* reportToolOpt =
        reportCmd->add_option("--tool", report.tool, "a tool stored by imgnorm train")
            ->type_name("TOOL");
    CLI::Option* reportRefOpt =
        reportCmd
            ->add_option("--reference", report.reference,
                         "train here on this golden image instead of --tool")
            ->type_name("REF");
    reportCmd->add_option("--mask", report.mask, "mask image for --reference")
        ->type_name("MASK")
        ->needs(reportRefOpt);
    reportToolOpt->excludes(reportRefOpt);
    reportCmd
        ->add_option(
            "--methods", report.methods,
            "comma-separated methods to run, or all (default: the methods the tool is trained for; "
            "all with --reference)")
        ->type_name("LIST");
    reportParams.add(*reportCmd, true);
    reportCmd->add_option("-o,--output", report.output, "the report, an .html file")
        ->required()
        ->type_name("FILE.html");
    reportCmd
        ->add_option("-j,--jobs", report.jobs,
                     "run this many images at once, each with its own copy of the tool")
        ->check(CLI::Range(1, 256))
        ->capture_default_str()
        ->type_name("N");
    bool reportNoProgress = false;
    reportCmd->add_flag("--no-progress", reportNoProgress,
                        "no progress line (it is shown only when stderr is a terminal)");
    reportCmd
        ->add_option("INPUT", report.inputs, "images, or folders whose image files are all run")
        ->required()
        ->type_name("INPUT...");
    reportCmd->footer(std::string("The report is one HTML file that needs no network: thumbnails "
                                  "and heat maps are embedded as PNG, "
                                  "plots as SVG. The full-size reference, run-time images and "
                                  "results are written as PNG into "
                                  "FILE_files/ next to it; the thumbnails link to them. Images and "
                                  "methods that fail are reported "
                                  "as run reports them and shown in the page.\n") +
                      kImageHelp + "\n" + kExitHelp);

    // info
    std::string infoTool;
    CLI::App* infoCmd = app.add_subcommand("info", "Print a stored tool's parameters and trained methods");
    infoCmd->add_option("TOOL", infoTool, "a tool stored by imgnorm train")->required();

    // compare
    std::string compareA, compareB, compareMask;
    CLI::App* compareCmd =
        app.add_subcommand("compare", "Print the mean and largest absolute difference of two images of one size");
    compareCmd->add_option("A", compareA, "first image")->required();
    compareCmd->add_option("B", compareB, "second image")->required();
    compareCmd->add_option("--mask", compareMask, "count only the pixels where this mask is not 0")->type_name("MASK");

    // samples
    std::string samplesDir, samplesSize = "320x240", samplesFormat = "png";
    CLI::App* samplesCmd = app.add_subcommand(
        "samples", "Generate the sample set: golden image, mask, and run-time images under drift, contrast change, "
                   "light ramp, vignette, and with a defect");
    samplesCmd->add_option("DIR", samplesDir, "folder to write into (created when missing)")->required();
    samplesCmd->add_option("--size", samplesSize, "image size")->capture_default_str()->type_name("WxH");
    samplesCmd->add_option("--format", samplesFormat, "png, pgm or tif")
        ->check(CLI::IsMember({"png", "pgm", "tif"}))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    installSignalHandlers();
    try {
        if (threadsOpt->count() != 0) vfSetNumThreads(threads);
        if (*trainCmd) {
            train.params = trainParams.params();
            return trainCommand(train);
        }
        if (*runCmd) {
            run.params = runParams.params();
            run.progress = !noProgress;
            return runCommand(run);
        }
        if (*reportCmd) {
            report.params = reportParams.params();
            report.progress = !reportNoProgress;
            report.commandLine = commandLine(argc, argv);
            return reportCommand(report);
        }
        if (*infoCmd) return infoCommand(infoTool);
        if (*compareCmd) return compareCommand(compareA, compareB, compareMask);
        if (*samplesCmd) return samplesCommand(samplesDir, samplesSize, samplesFormat);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "imgnorm: error: %s\nRun with --help for more information.\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "imgnorm: error: %s\n", e.what());
        return 1;
    }
    return 2;
}

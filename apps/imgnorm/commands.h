// The subcommands of the imgnorm tool, apart from parsing the command line.
// Each returns the process's exit status: 0 when everything worked, 1 when
// something failed (the reason is on stderr), 130 when a batch was
// interrupted by SIGINT or SIGTERM (the images in progress are finished). Wrong option values throw
// UsageError; unreadable files and library errors throw exceptions whose
// message names the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <imgnorm/diag.h>

#include "batch.h"
#include "options.h"

namespace imgnorm_cli {

struct TrainOptions {
    std::string reference;
    std::string mask;
    std::string methods;
    ToolParams params;
    std::string output;
    std::string diagDir;
    std::int32_t depth = 0;  // --depth: 9..16, or 0 for the file's own
};

struct RunOptions {
    std::string tool;
    std::string reference;
    std::string mask;
    ToolParams params;
    std::string method;
    std::string output;
    std::string outDir;
    std::string format;  // "png", "pgm", "tif" or empty: as the input
    std::string diagDir;
    std::int32_t depth = 0;  // --depth for --reference: 9..16, or 0 for the file's own
    int jobs = 1;
    bool progress = true;  // shown only when stderr is a terminal
    std::vector<std::string> inputs;
    // Flat-field frames: each input is calibrated with them before the
    // method runs (the method flat-field does nothing else).
    std::vector<std::string> dark;
    std::vector<std::string> flat;
};

int trainCommand(const TrainOptions& options);
int runCommand(const RunOptions& options);
int infoCommand(const std::string& toolPath);
int compareCommand(const std::string& a, const std::string& b, const std::string& mask);
int samplesCommand(const std::string& folder, const std::string& size, const std::string& format);

// What --diag and the report ask the tool to record: inputs, results and
// what the methods estimated.
inline constexpr std::uint32_t kDiagFlags =
    vkDiagDefs::eInputs | vkDiagDefs::eResults | vkDiagDefs::eMethodDetails;

// Where a run or a report gets its tool: a stored tool, or a reference image
// (and mask) to train on here; params as given on the command line.
struct ToolSource {
    std::string tool;
    std::string reference;
    std::string mask;
    ToolParams params;
};

// The tool of a run or a report: loaded from source.tool (retrained for its
// methods when the parameters change training, else with the run-time
// parameters applied), or trained on source.reference and source.mask for
// the methods train; untrained when neither is given. Training records go
// into trainDiag when it is not empty. Throws when the tool is not trained
// for every method of required.
vkImageNormalizer prepareTool(const ToolSource& source, vkImageNormalizerDefs::Method train,
                              vkImageNormalizerDefs::Method required, const std::string& trainDiag);

// Runs work(index, worker) for every input on jobs threads (see runBatch)
// until SIGINT or SIGTERM, reporting in input order: onSuccess for an item
// that worked, a "failed  " line on stderr for each line of a failed item's
// message. Returns the exit status: 0, 1 when an item failed, 130 when
// interrupted (saying so on stderr).
int runInputs(const std::vector<std::string>& inputs, int jobs, bool progress,
              const std::function<ItemResult(std::size_t, int)>& work,
              const std::function<void(std::size_t, const ItemResult&)>& onSuccess);

// A folder under root for each input, named by the input's stem, made
// unique with -2, -3, ... when two inputs share one.
std::vector<std::string> imageFolders(const std::string& root,
                                      const std::vector<std::string>& inputs);

// FileError when the folder path would be written into does not exist.
void requireParentFolder(const std::string& path);

// Stores and loads a tool (vkImageNormalizer or vkDeepImageNormalizer) in
// the library's archive form. A stored tool is flushed to the disk before it
// replaces the file; loading refuses a file with bytes after the tool.
template <class Tool>
void saveTool(Tool& tool, const std::string& path);
template <class Tool>
Tool loadTool(const std::string& path);

// The depth of the tool a source gives: a stored tool's (8 for the 8-bit
// tool's record, the stored depth for a deep tool's); for a reference image
// 8 for 8-bit samples, else depthOption when given (9..16), else the depth
// the file states, else 16. UsageError for a depthOption that does not
// apply (a stored tool, an 8-bit reference, no source).
std::int32_t toolDepth(const ToolSource& source, std::int32_t depthOption);

// SIGINT, SIGTERM and SIGHUP end the process without leaving the
// temporary files of writes in progress (a batch first finishes its images
// in progress, see runInputs); writes beyond a file size limit fail with an
// error instead of ending the process.
void installSignalHandlers();

// The inputs of a run: files as given, folders replaced by the PNG and PGM
// files directly inside them, sorted by name.
std::vector<std::string> expandInputs(const std::vector<std::string>& inputs);

}  // namespace imgnorm_cli

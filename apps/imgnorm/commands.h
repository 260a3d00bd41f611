// The subcommands of the imgnorm tool, apart from parsing the command line.
// Each returns the process's exit status: 0 when everything worked, 1 when
// something failed (the reason is on stderr), 130 when a batch was
// interrupted by SIGINT or SIGTERM (the images in progress are finished). Wrong option values throw
// UsageError; unreadable files and library errors throw exceptions whose
// message names the file.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace imgnorm_cli {

struct TrainOptions {
    std::string reference;
    std::string mask;
    std::string methods;
    ToolParams params;
    std::string output;
    std::string diagDir;
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
    int jobs = 1;
    bool progress = true;  // shown only when stderr is a terminal
    std::vector<std::string> inputs;
};

int trainCommand(const TrainOptions& options);
int runCommand(const RunOptions& options);
int infoCommand(const std::string& toolPath);
int compareCommand(const std::string& a, const std::string& b, const std::string& mask);
int samplesCommand(const std::string& folder, const std::string& size, const std::string& format);

// Stores and loads a tool in the library's archive form.
void saveTool(vkImageNormalizer& tool, const std::string& path);
vkImageNormalizer loadTool(const std::string& path);

// The inputs of a run: files as given, folders replaced by the PNG and PGM
// files directly inside them, sorted by name.
std::vector<std::string> expandInputs(const std::vector<std::string>& inputs);

}  // namespace imgnorm_cli

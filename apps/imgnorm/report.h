// The report command: every method run on every image of a batch, drawn
// into one HTML page from the tool's diagnostics records and results.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace imgnorm_cli {

struct ReportOptions {
    std::string tool;
    std::string reference;
    std::string mask;
    ToolParams params;
    // Comma-separated methods or "all"; empty: every method the stored
    // tool is trained for (all of them with a reference).
    std::string methods;
    std::string output;  // FILE.html
    int jobs = 1;
    bool progress = true;  // shown only when stderr is a terminal
    std::vector<std::string> inputs;
    std::string commandLine;  // shown in the report
};

// Runs each method on each input and writes the report, also when some
// images fail (they are reported as run reports them, and shown in the
// page) or the batch is interrupted (the page holds the images done).
// Full-size images go into reportFilesFolder(output). Returns the exit
// status as run does.
int reportCommand(const ReportOptions& options);

// The folder next to a report that holds its full-size images: the
// report's path without its extension, followed by "_files".
std::string reportFilesFolder(const std::string& reportPath);

}  // namespace imgnorm_cli

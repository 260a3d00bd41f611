// Writes the records of a diagnostics object into a folder, one file per
// record: images as PNG, texts as .txt.
#pragma once

#include <string>

#include <imgnorm/diag.h>

namespace imgnorm_cli {

// File names are NNN-L<level>-<name>.png or .txt, NNN being the record's
// index (from 000, in recording order), <level> the recorder's level when
// it was added and <name> the record's name with every character other than
// letters, digits, '-' and '.' replaced by '_'. An image record without
// pixels (an unbound image) becomes a .txt file saying so. The folder is
// created when missing. Throws FileError when a file cannot be written.
void writeDiagRecords(const vkDiagObject& diag, const std::string& folder);

// The file name of one record, as described above.
std::string diagFileName(std::size_t index, const vkDiagRecord& record);

}  // namespace imgnorm_cli

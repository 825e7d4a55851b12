// Standard input and output for a library that reads and writes by name: both pass through a
// temporary file, which is removed on every way out, interrupted runs included.
#pragma once

#include <string>

namespace qorimg_tool {

class SpoolFile {
  public:
    SpoolFile() = default;
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Creates an empty file in $TMPDIR (or /tmp). Returns an empty string, or why not.
    std::string Create(const std::string& suffix);
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Copies standard input into `spool`, which is created here.
std::string SpoolStandardInput(SpoolFile* spool);
// Copies the file at `path` to standard output.
std::string CopyToStandardOutput(const std::string& path);

}  // namespace qorimg_tool

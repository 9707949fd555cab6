// A log file written a line at a time, each line flushed as it is written, so that a test can
// read it while the sim runs.
#pragma once

#include <cstdio>
#include <string>

class LineFile {
public:
    LineFile() = default;
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    ~LineFile();

    void open(const std::string& path);  // none when path is empty
    bool enabled() const { return file_ != nullptr; }
    void line(const std::string& text);

private:
    std::FILE* file_ = nullptr;
};

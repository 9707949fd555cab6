#include "sim_line_file.h"

#include "sim_system_error.h"

LineFile::~LineFile() {
    if (file_) std::fclose(file_);
}

void LineFile::open(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) system_error(path.c_str());
}

void LineFile::line(const std::string& text) {
    if (!file_) return;
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

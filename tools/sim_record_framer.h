// Cuts the host's bytes into records: a 2-byte big-endian payload length, then the payload.
#pragma once

#include <cstddef>
#include <vector>

class RecordFramer {
public:
    bool empty() const { return bytes_.empty(); }  // between two records
    std::size_t size() const { return bytes_.size(); }  // of the record so far
    // The whole record's size with its length field; 0 while the length is not known.
    std::size_t expected() const { return bytes_.size() < 2 ? 0 : need_; }
    bool complete() const { return bytes_.size() == need_; }

    // Takes bytes from data, at most `most` and never past the end of the record; returns how
    // many it took.
    std::size_t take(const unsigned char* data, std::size_t size, std::size_t most);
    const std::vector<unsigned char>& bytes() const { return bytes_; }  // length field included
    void start_next() {
        bytes_.clear();
        need_ = 2;
    }

private:
    std::vector<unsigned char> bytes_;
    std::size_t need_ = 2;
};

#include "sim_record_framer.h"

#include <algorithm>

std::size_t RecordFramer::take(const unsigned char* data, std::size_t size, std::size_t most) {
    std::size_t count = std::min({size, most, need_ - bytes_.size()});
    bytes_.insert(bytes_.end(), data, data + count);
    if (bytes_.size() == 2 && need_ == 2) need_ = 2 + (static_cast<std::size_t>(bytes_[0]) << 8 | bytes_[1]);
    return count;
}

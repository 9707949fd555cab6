// Fuzzes the firmware file decoding and the record checks: no input may read or write past the
// image buffer, and every accepted image must be whole records lying inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<FirmwareImage> image(new FirmwareImage);
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        decode_firmware(in, *image);
    } catch (const std::exception&) {
        if (size / 2 <= (size_t)FIRMWARE_IMAGE_CAPACITY) std::abort();  // only too large may fail
        return 0;
    }
    if (image->size != (int32_t)(size / 2)) std::abort();
    bool accepted = true;
    try {
        check_firmware_records(*image);
    } catch (const std::exception&) {
        accepted = false;
    }
    if (!accepted) return 0;
    // The upload's walk over an accepted image never leaves it.
    for (int32_t off = 0; off < image->size;) {
        if (image->size - off < 2) std::abort();
        int32_t len = firmware_record_size(*image, off);
        if (len < 2 || len > image->size - off) std::abort();
        off += len;
    }
    return 0;
}

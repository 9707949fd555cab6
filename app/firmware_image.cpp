#include "firmware_image.h"

#include <cstdlib>

#include "generic_exception.h"
#include "stop_flag.h"

namespace {

// Reads the next two characters; false at the end of the file, where a lone last character
// is dropped. A stream that fails without reaching the end is a read error.
bool read_pair(std::istream& in, char (&pair)[3]) {
    pair[0] = pair[1] = pair[2] = '\0';
    in.read(pair, 2);
    if (in.gcount() == 2 && !in.fail()) return true;
    if (in.eof() && !in.bad()) return false;
    throw GenericException("Firmware file read error!");
}

}  // namespace

void decode_firmware(std::istream& in, FirmwareImage& image) {
    char pair[3];
    image.size = 0;
    while (read_pair(in, pair)) {
        stop_check();
        if (image.size == FIRMWARE_IMAGE_CAPACITY) throw GenericException("Firmware file too large!");
        image.bytes[image.size++] = (uint8_t)std::strtol(pair, nullptr, 16);
    }
}

void check_firmware_records(const FirmwareImage& image) {
    int32_t off = 0;
    while (off < image.size) {
        if (image.size - off < 2 || firmware_record_size(image, off) > image.size - off)
            throw GenericException("Firmware file truncated!");
        off += firmware_record_size(image, off);
    }
}

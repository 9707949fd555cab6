// The firmware image: a text file of hexadecimal digit pairs that decodes into records of a
// two-byte big-endian payload length followed by the payload, exactly as they go on the wire.
#ifndef QUORVANE_FIRMWARE_IMAGE_H
#define QUORVANE_FIRMWARE_IMAGE_H

#include <cstdint>
#include <istream>

const int32_t FIRMWARE_IMAGE_CAPACITY = 393216;

struct FirmwareImage {
    uint8_t bytes[FIRMWARE_IMAGE_CAPACITY];
    int32_t size;  // decoded bytes
};

// Decodes the whole stream into image. Raises GenericException on a read error, on more bytes
// than the image holds, and at a stop request; nothing is written past the buffer.
void decode_firmware(std::istream& in, FirmwareImage& image);

// Raises GenericException unless the image is a run of whole records ending at its last byte.
void check_firmware_records(const FirmwareImage& image);

// The wire size of the record at offset off: its length field plus the two bytes of the field.
inline int32_t firmware_record_size(const FirmwareImage& image, int32_t off) {
    return ((int32_t)image.bytes[off] << 8 | image.bytes[off + 1]) + 2;
}

#endif

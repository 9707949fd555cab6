// Decoding firmware files into records, and refusing the files that would make the upload send
// bytes it should not.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware_image.h"
#include "stop_flag.h"

namespace {

class FirmwareDecoding : public testing::Test {
protected:
    void TearDown() override { quit = false; }

    std::vector<uint8_t> decode(const std::string& text) {
        std::istringstream in(text);
        decode_firmware(in, *image);
        return std::vector<uint8_t>(image->bytes, image->bytes + image->size);
    }

    // The message a refused file raises, or "" when it is accepted.
    std::string refusal(const std::string& text) {
        try {
            decode(text);
            check_firmware_records(*image);
            return "";
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    std::unique_ptr<FirmwareImage> image{new FirmwareImage};
};

struct PairCase { const char* text; uint8_t byte; };
void PrintTo(const PairCase& c, std::ostream* out) { *out << testing::PrintToString(std::string(c.text)); }

class PairDecoding : public FirmwareDecoding, public testing::WithParamInterface<PairCase> {};

TEST_P(PairDecoding, FollowsStrtolInBase16) {
    EXPECT_EQ(decode(GetParam().text), std::vector<uint8_t>{GetParam().byte});
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PairDecoding,
    testing::Values(PairCase{"3F", 0x3F}, PairCase{"0a", 0x0A}, PairCase{"ff", 0xFF},
                    PairCase{"A\n", 0x0A}, PairCase{"\n\n", 0x00}, PairCase{"\n5", 0x05},
                    PairCase{"-1", 0xFF}, PairCase{"zz", 0x00}, PairCase{"7g", 0x07}));

TEST_F(FirmwareDecoding, OneRecordOfThreePayloadBytes) {
    EXPECT_EQ(decode("0003AABBCC"), (std::vector<uint8_t>{0x00, 0x03, 0xAA, 0xBB, 0xCC}));
    EXPECT_NO_THROW(check_firmware_records(*image));
    EXPECT_EQ(firmware_record_size(*image, 0), 5);
}

TEST_F(FirmwareDecoding, LoneLastCharacterIsDropped) {
    EXPECT_EQ(decode("12345"), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(decode("0001AA\n"), (std::vector<uint8_t>{0x00, 0x01, 0xAA}));
}

TEST_F(FirmwareDecoding, EmptyFileIsAnEmptyImage) {
    EXPECT_EQ(refusal(""), "");
    EXPECT_EQ(image->size, 0);
}

TEST_F(FirmwareDecoding, ImageFillingTheWholeBufferIsAccepted) {
    // Six records of 65534 payload bytes: 6 * 65536 bytes, exactly the buffer.
    std::string record = "FFFE" + std::string(65534 * 2, '5');
    std::string file;
    for (int i = 0; i < 6; ++i) file += record;
    EXPECT_EQ(refusal(file + "\n"), "");
    EXPECT_EQ(image->size, FIRMWARE_IMAGE_CAPACITY);
}

TEST_F(FirmwareDecoding, OneByteMoreThanTheBufferIsRefused) {
    EXPECT_EQ(refusal(std::string((FIRMWARE_IMAGE_CAPACITY + 1) * 2, '0')),
              "Firmware file too large!");
    EXPECT_EQ(image->size, FIRMWARE_IMAGE_CAPACITY);
}

struct TruncatedCase { const char* name; const char* text; };

class TruncatedImage : public FirmwareDecoding, public testing::WithParamInterface<TruncatedCase> {};

TEST_P(TruncatedImage, IsRefused) { EXPECT_EQ(refusal(GetParam().text), "Firmware file truncated!"); }

INSTANTIATE_TEST_SUITE_P(
    CutShort, TruncatedImage,
    testing::Values(TruncatedCase{"OneByteForTheLength", "00"},
                    TruncatedCase{"PayloadShort", "0005AABB"},
                    TruncatedCase{"LastRecordLengthOnly", "0001AA00"},
                    TruncatedCase{"LastRecordShort", "0001AA0002BB"},
                    TruncatedCase{"HugeLength", "FFFF00"}),
    [](const testing::TestParamInfo<TruncatedCase>& p) { return std::string(p.param.name); });

// A stream whose device fails after a few characters, as a disk read error would.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(std::string head) : head_(std::move(head)) {
        setg(&head_[0], &head_[0], &head_[0] + head_.size());
    }

protected:
    int_type underflow() override { throw std::runtime_error("read error"); }

private:
    std::string head_;
};

TEST_F(FirmwareDecoding, ReadErrorEndsDecodingWithAMessage) {
    FailingBuffer buffer("0003AA");
    std::istream in(&buffer);
    try {
        decode_firmware(in, *image);
        FAIL() << "a read error was not reported";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Firmware file read error!");
    }
}

TEST_F(FirmwareDecoding, StopRequestEndsDecoding) {
    quit = true;
    EXPECT_EQ(refusal("0003AABBCC"), "Terminated by user!");
    EXPECT_EQ(refusal(""), "");  // nothing decoded, nothing to stop
}

}  // namespace

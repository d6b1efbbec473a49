// The simulated card reader: records laid out as the C interface says, real bitmap files for the
// photo and the card faces, stable fingerprint templates, and nothing written without a card.
#include "pictavo/cards/simulated_card_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using pictavo_test::TempDir;

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// The text at `offset` up to its zero unit.
template <size_t N>
std::u16string fieldAt(const std::array<uint8_t, N>& record, size_t offset) {
    std::u16string text;
    for (size_t at = offset; at + 1 < N; at += 2) {
        const char16_t unit = static_cast<char16_t>(record[at] | (record[at + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

struct Bitmap {
    uint32_t width = 0, height = 0, bitsPerPixel = 0;
};

// Checks the headers of a 24-bit bitmap file against its size, and reads its dimensions.
Bitmap inspectBitmap(const std::vector<uint8_t>& bytes) {
    Bitmap bitmap;
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return bitmap;
    bitmap.width = le32(bytes, 18);
    bitmap.height = le32(bytes, 22);
    bitmap.bitsPerPixel = bytes[28] | (bytes[29] << 8);
    const uint32_t rowBytes = (bitmap.width * 3 + 3) & ~3u;
    EXPECT_EQ(le32(bytes, 2), bytes.size());
    EXPECT_EQ(le32(bytes, 10), 54u);
    EXPECT_EQ(bytes.size(), 54u + rowBytes * bitmap.height);
    return bitmap;
}

CardSettings absentCards() {
    CardSettings cards = sampleCards();
    cards.idCard.present = false;
    cards.socialCard.present = false;
    cards.bankCard.present = false;
    cards.magCard.present = false;
    return cards;
}

TEST(SimulatedCardReader, IdCardFieldsSitAtTheirOffsetsAndThePhotoIsABitmap) {
    TempDir dir;
    SimulatedCardReader reader(sampleCards());
    IdCardRecord record;
    record.fill(0xEE);
    ASSERT_EQ(reader.readIdCard(record, dir.file("photo.bmp")), kOk);
    const CardSettings cards = sampleCards();
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(fieldAt(record, kIdCardFieldOffsets[i]), cards.idCard.fields[i]) << i;
    }
    EXPECT_EQ(record[476], 0) << "the rest of the record is cleared";
    const Bitmap photo = inspectBitmap(readBytes(dir.file("photo.bmp")));
    EXPECT_EQ(photo.width, 102u);
    EXPECT_EQ(photo.height, 126u);
    EXPECT_EQ(photo.bitsPerPixel, 24u);
}

TEST(SimulatedCardReader, AnEmptyPhotoPathReadsTheCardAlone) {
    SimulatedCardReader reader(sampleCards());
    IdCardRecord record{};
    EXPECT_EQ(reader.readIdCard(record, ""), kOk);
    EXPECT_EQ(fieldAt(record, 0), sampleCards().idCard.fields[0]);
}

TEST(SimulatedCardReader, AConfiguredPhotoIsHandedOutWhenItIsABitmap) {
    TempDir dir;
    CardSettings cards = sampleCards();
    const std::string bitmap = "BM" + std::string(60, 'p');
    cards.idCard.photoFile = dir.write("mine.bmp", bitmap);
    SimulatedCardReader reader(cards);
    IdCardRecord record{};
    ASSERT_EQ(reader.readIdCard(record, dir.file("out.bmp")), kOk);
    const std::vector<uint8_t> copied = readBytes(dir.file("out.bmp"));
    EXPECT_EQ(std::string(copied.begin(), copied.end()), bitmap);

    cards.idCard.photoFile = dir.write("mine.jpg", "\xFF\xD8\xFF" + std::string(60, 'j'));
    SimulatedCardReader jpegReader(cards);
    EXPECT_EQ(jpegReader.readIdCard(record, dir.file("out2.bmp")), kFileError);
    cards.idCard.photoFile = dir.file("missing.bmp");
    SimulatedCardReader missingReader(cards);
    EXPECT_EQ(missingReader.readIdCard(record, dir.file("out3.bmp")), kFileError);
}

TEST(SimulatedCardReader, APhotoThatCannotBeWrittenIsReportedWithTheCardStillRead) {
    SimulatedCardReader reader(sampleCards());
    IdCardRecord record{};
    EXPECT_EQ(reader.readIdCard(record, "/no/such/directory/photo.bmp"), kFileError);
    EXPECT_EQ(fieldAt(record, 0), sampleCards().idCard.fields[0]);
}

TEST(SimulatedCardReader, WithoutCardsEveryReadFailsAndWritesNothing) {
    TempDir dir;
    SimulatedCardReader reader(absentCards());
    IdCardRecord id;
    id.fill(7);
    EXPECT_EQ(reader.readIdCard(id, dir.file("photo.bmp")), kFailed);
    EXPECT_EQ(id[0], 7);
    EXPECT_TRUE(readBytes(dir.file("photo.bmp")).empty());
    EXPECT_EQ(reader.saveIdCardImages(0, dir.file("f.bmp"), dir.file("b.bmp")), kFailed);
    IdFingerprintMessage message{};
    int status = -1;
    EXPECT_EQ(reader.readIdFingerprint(0, message, status), kFailed);
    EXPECT_EQ(status, -1);
    SocialCardRecord social{};
    BankCardText bank{};
    MagCardRecord mag{};
    EXPECT_EQ(reader.readSocialCard(social), kFailed);
    EXPECT_EQ(reader.readBankCard(bank), kFailed);
    EXPECT_EQ(reader.readMagCard(mag), kFailed);
}

TEST(SimulatedCardReader, CardFacesAreBitmapsInTheRequestedColours) {
    TempDir dir;
    SimulatedCardReader reader(sampleCards());
    for (int type : {0, 1, 2}) {
        const std::string front = dir.file("front" + std::to_string(type) + ".bmp");
        const std::string back = dir.file("back" + std::to_string(type) + ".bmp");
        ASSERT_EQ(reader.saveIdCardImages(type, front, back), kOk) << type;
        for (const std::string& path : {front, back}) {
            const std::vector<uint8_t> bytes = readBytes(path);
            const Bitmap face = inspectBitmap(bytes);
            EXPECT_EQ(face.width, 856u);
            EXPECT_EQ(face.height, 540u);
            bool coloured = false, onlyBlackOrWhite = true;
            for (size_t at = 54; at + 2 < bytes.size(); at += 3) {
                coloured = coloured || bytes[at] != bytes[at + 1] || bytes[at + 1] != bytes[at + 2];
                onlyBlackOrWhite = onlyBlackOrWhite && (bytes[at] == 0 || bytes[at] == 255);
            }
            EXPECT_EQ(coloured, type == 0) << path;
            if (type == 2) {
                EXPECT_TRUE(onlyBlackOrWhite) << path;
            }
        }
    }
    EXPECT_EQ(reader.saveIdCardImages(3, dir.file("f.bmp"), dir.file("b.bmp")), kInvalidArgument);
    EXPECT_EQ(reader.saveIdCardImages(0, "", dir.file("b.bmp")), kInvalidArgument);
}

TEST(SimulatedCardReader, FingerprintTemplatesAreStablePerCardAndChecksummed) {
    SimulatedCardReader reader(sampleCards());
    IdFingerprintMessage first{}, again{}, second{};
    int status = -1;
    ASSERT_EQ(reader.readIdFingerprint(0, first, status), kOk);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(reader.readIdFingerprint(0, again, status), kOk);
    ASSERT_EQ(reader.readIdFingerprint(1, second, status), kOk);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, second);
    EXPECT_EQ(first[0], 'C');
    EXPECT_EQ(second[2], 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < 510; ++i) sum += first[i];
    EXPECT_EQ(first[510] | (first[511] << 8), static_cast<int>(sum & 0xFFFF));
    EXPECT_TRUE(std::all_of(first.begin() + 512, first.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_NE(idFingerprintTemplate(u"110101199003071233", 0),
              idFingerprintTemplate(u"110101199003071234", 0));

    EXPECT_EQ(reader.readIdFingerprint(2, first, status), kInvalidArgument);
    CardSettings one = sampleCards();
    one.idCard.fingerprints = 1;
    SimulatedCardReader oneFinger(one);
    EXPECT_EQ(oneFinger.readIdFingerprint(1, first, status), kFailed);
}

TEST(SimulatedCardReader, OtherCardsFillTheirRecords) {
    const CardSettings cards = sampleCards();
    SimulatedCardReader reader(cards);
    SocialCardRecord social;
    social.fill(0xAA);
    ASSERT_EQ(reader.readSocialCard(social), kOk);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(fieldAt(social, kSocialCardFieldOffsets[i]), cards.socialCard.fields[i]) << i;
    }
    BankCardText bank;
    bank.fill(0xAA);
    ASSERT_EQ(reader.readBankCard(bank), kOk);
    EXPECT_EQ(fieldAt(bank, 0), cards.bankCard.number);
    MagCardRecord mag;
    mag.fill(0xAA);
    ASSERT_EQ(reader.readMagCard(mag), kOk);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(fieldAt(mag, i * 400), cards.magCard.tracks[i]) << i;
}

}  // namespace

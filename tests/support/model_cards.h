// Chip cards for the tests: a card that answers command APDUs the way an EMV payment card or a
// social-security card does, over T=1 or T=0 (where it holds data back behind 61xx and answers
// a wrong length with 6Cxx, as real T=0 cards do). The unit tests talk to it directly, the
// end-to-end tests through the real PC/SC stack (virtual_card.h).
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cardmodels {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Hexadecimal digits to bytes; spaces between them are for reading and ignored.
inline Bytes hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
    }
    Bytes bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A BER-TLV object: the tag's bytes as written (0x9F38 is two bytes), then the length.
inline Bytes tlv(uint32_t tag, const Bytes& value) {
    Bytes out;
    out.reserve(value.size() + 6);
    if (tag > 0xFFFF) out.push_back(static_cast<uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag));
    if (value.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(value.size()));
    return out + value;
}

// Thread-safe: the virtual card answers on its own thread while a test changes nothing.
class ModelCard {
  public:
    ModelCard() = default;
    ModelCard(const ModelCard& other) {
        std::lock_guard<std::mutex> lock(other.mutex_);
        atr = other.atr;
        t0 = other.t0;
        applications = other.applications;
        records = other.records;
        files = other.files;
        gpoAnswer = other.gpoAnswer;
        commands_ = other.commands_;
        lastGpoData_ = other.lastGpoData_;
        protocolErrors_ = other.protocolErrors_;
        selected_ = other.selected_;
        file_ = other.file_;
        pending_ = other.pending_;
    }
    ModelCard& operator=(const ModelCard&) = delete;

    Bytes atr{0x3B, 0x02, 0x14, 0x50};
    bool t0 = false;
    std::map<Bytes, Bytes> applications;                  // SELECT by name: DF name -> FCI
    std::map<std::pair<uint8_t, uint8_t>, Bytes> records;  // READ RECORD (SFI, number)
    std::map<uint16_t, std::map<uint8_t, Bytes>> files;   // SELECT by FID; records by tag
    std::optional<Bytes> gpoAnswer;                       // none: GPO is refused (6985)

    // What the reader sent: every command, the data of the last GPO, and commands that broke
    // the transmission protocol (Le after data on T=0).
    std::vector<Bytes> commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    Bytes lastGpoData() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastGpoData_;
    }
    int protocolErrors() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return protocolErrors_;
    }

    // A card is powered up again (reset): nothing selected, nothing held back.
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        selected_.clear();
        file_ = 0;
        pending_.clear();
    }

    Bytes answer(const Bytes& apdu) {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(apdu);
        if (apdu.size() < 4) return {0x67, 0x00};
        const uint8_t ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
        std::optional<uint8_t> le;
        Bytes data;
        if (apdu.size() == 5) {
            le = apdu[4];
        } else if (apdu.size() > 5) {
            const size_t lc = apdu[4];
            if (apdu.size() != 5 + lc && apdu.size() != 6 + lc) return {0x67, 0x00};
            data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<ptrdiff_t>(lc));
            if (apdu.size() == 6 + lc) {
                if (t0) {
                    ++protocolErrors_;
                    return {0x67, 0x00};
                }
                le = apdu.back();
            }
        }
        if (ins != 0xC0) pending_.clear();
        switch (ins) {
            case 0xA4:
                return select(p1, data, le);
            case 0xB2:
                return readRecord(p1, p2, data.empty() ? le : std::nullopt);
            case 0xA8:
                if (selected_.empty() || !gpoAnswer) return {0x69, 0x85};
                lastGpoData_ = data;
                return respond(*gpoAnswer, le, !data.empty());
            case 0xC0: {
                if (pending_.empty()) return {0x6F, 0x00};
                const size_t wanted = le.value_or(0) == 0 ? 256 : *le;
                const size_t given = std::min(wanted, pending_.size());
                Bytes out(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(given));
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(given));
                return out + statusFor(pending_.empty() ? 0x9000 : 0x6100 | pendingByte());
            }
            default:
                return {0x6D, 0x00};
        }
    }

  private:
    static Bytes statusFor(uint16_t status) {
        return {static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status & 0xFF)};
    }
    uint8_t pendingByte() const {
        return pending_.size() >= 256 ? 0 : static_cast<uint8_t>(pending_.size());
    }

    // The answer's data as the protocol delivers it. T=0 holds the data of a command that sent
    // data back for GET RESPONSE (61xx) and answers a command asking for the wrong length with
    // 6Cxx; T=1 answers with the data at once.
    Bytes respond(const Bytes& out, std::optional<uint8_t> le, bool sentData) {
        if (out.empty()) return statusFor(0x9000);
        if (t0 && sentData) {
            pending_ = out;
            return statusFor(0x6100 | pendingByte());
        }
        if (!le) return statusFor(0x9000);  // the reader asked for nothing back
        const size_t wanted = *le == 0 ? 256 : *le;
        if (wanted != out.size() && (t0 || wanted < out.size())) {
            return statusFor(static_cast<uint16_t>(0x6C00 | (out.size() & 0xFF)));
        }
        return out + statusFor(0x9000);
    }

    Bytes select(uint8_t p1, const Bytes& name, std::optional<uint8_t> le) {
        if (p1 == 0x04) {
            const auto found = applications.find(name);
            if (found == applications.end()) return statusFor(0x6A82);
            selected_ = name;
            file_ = 0;
            return respond(found->second, le, true);
        }
        if (p1 == 0x02 && name.size() == 2 && !selected_.empty()) {
            const uint16_t fid = static_cast<uint16_t>(name[0] << 8 | name[1]);
            if (files.count(fid) == 0) return statusFor(0x6A82);
            file_ = fid;
            return statusFor(0x9000);
        }
        return statusFor(0x6A82);
    }

    Bytes readRecord(uint8_t p1, uint8_t p2, std::optional<uint8_t> le) {
        if ((p2 & 0x07) == 0x04) {
            const auto found = records.find({static_cast<uint8_t>(p2 >> 3), p1});
            if (found == records.end()) return statusFor(0x6A83);
            return respond(found->second, le, false);
        }
        if (p2 == 0x00 && file_ != 0) {
            const auto& file = files[file_];
            const auto found = file.find(p1);
            if (found == file.end()) return statusFor(0x6A83);
            Bytes record{p1, static_cast<uint8_t>(found->second.size())};
            return respond(record + found->second, le, false);
        }
        return statusFor(0x6A83);
    }

    mutable std::mutex mutex_;
    std::vector<Bytes> commands_;
    Bytes lastGpoData_;
    int protocolErrors_ = 0;
    Bytes selected_;
    uint16_t file_ = 0;
    Bytes pending_;
};

// ---- An EMV payment card --------------------------------------------------------------------

inline const Bytes kUnionPayDebit = hex("A000000333010101");
inline const Bytes kContactDirectory = ascii("1PAY.SYS.DDF01");
inline const Bytes kProximityDirectory = ascii("2PAY.SYS.DDF01");

// The number as tag 5A holds it: BCD, an odd count padded with F.
inline Bytes panBytes(const std::string& digits) {
    std::string padded = digits;
    if (padded.size() % 2) padded += 'F';
    return hex(padded);
}

struct EmvCardOptions {
    std::string number = "6222021234567890128";
    bool contactless = false;
    bool directory = true;       // a payment directory (contact: PSE, contactless: PPSE)
    bool format2 = false;        // GPO answered in template 77 rather than 80
    bool numberInTrack2Only = false;
    bool t0 = false;
    Bytes pdol = hex("9F66049F02069F03069F1A0295055F2A029A039C019F3704");
};

inline ModelCard emvCard(const EmvCardOptions& options) {
    ModelCard card;
    card.t0 = options.t0;
    // A contactless card comes with the ATR a PC/SC reader makes up for it; the contact one
    // announces T=0 or T=1.
    card.atr = options.contactless ? hex("3B8A80010031C173C8400000900090")
               : options.t0        ? hex("3B6800008065A20101029000")
                                   : hex("3BEA00008131FE45434E5553410100000000AA");
    const Bytes entry = tlv(0x61, tlv(0x4F, kUnionPayDebit) + tlv(0x50, ascii("UnionPay Debit")) +
                                      tlv(0x87, {0x01}));
    if (options.directory && options.contactless) {
        card.applications[kProximityDirectory] =
            tlv(0x6F, tlv(0x84, kProximityDirectory) + tlv(0xA5, tlv(0xBF0C, entry)));
    } else if (options.directory) {
        card.applications[kContactDirectory] =
            tlv(0x6F, tlv(0x84, kContactDirectory) + tlv(0xA5, tlv(0x88, {0x01})));
        card.records[{1, 1}] = tlv(0x70, entry);
    }
    Bytes fciTemplate = tlv(0x50, ascii("UnionPay Debit"));
    if (!options.pdol.empty()) fciTemplate = fciTemplate + tlv(0x9F38, options.pdol);
    card.applications[kUnionPayDebit] = tlv(0x6F, tlv(0x84, kUnionPayDebit) + tlv(0xA5, fciTemplate));

    // Records 2.1 and 2.2 and 3.1; the number is in 2.2 (tag 5A), track 2 in 2.1.
    const Bytes afl = hex("10010200") + hex("18010101");
    const Bytes aip = hex("7C00");
    card.gpoAnswer = options.format2 ? tlv(0x77, tlv(0x82, aip) + tlv(0x94, afl))
                                     : tlv(0x80, aip + afl);
    std::string track2 = options.number + "D3012201" + "000000000";
    if (track2.size() % 2) track2 += 'F';
    card.records[{2, 1}] = tlv(0x70, tlv(0x57, hex(track2)) + tlv(0x5F20, ascii("ZHANG/SAN")));
    card.records[{2, 2}] = tlv(0x70, (options.numberInTrack2Only
                                          ? Bytes()
                                          : tlv(0x5A, panBytes(options.number))) +
                                         tlv(0x5F24, hex("301231")) + tlv(0x5F34, {0x01}));
    card.records[{3, 1}] = tlv(0x70, tlv(0x8C, hex("9F02069F03069F1A0295055F2A029A039C019F3704")));
    return card;
}

// ---- A social-security card -----------------------------------------------------------------

inline const Bytes kSocialSecurityApplication =
    ascii("sx1.sh.") + hex("C9E7BBE1B1A3D5CF");  // "sx1.sh.社会保障" in GBK

struct SocialCardOptions {
    Bytes cardCode = hex("330100D15600000500A1B2C3D4E5F601");
    std::string cardNumber = "B12345678";
    std::string socialNumber = "330102199202021234";
    Bytes name = hex("C0EECBC4");  // "李四" in GBK
    Bytes sex = {'2'};
    Bytes ethnicity = {0x03};  // BCD: 回族
    Bytes issueDate = hex("20210315");
    Bytes expiryDate = hex("20310315");
    std::string version = "3.00";
    bool contactless = false;
    bool t0 = false;
};

inline Bytes padded(Bytes value, size_t size, uint8_t filler) {
    value.resize(std::max(value.size(), size), filler);
    return value;
}

inline ModelCard socialSecurityCard(const SocialCardOptions& options) {
    ModelCard card;
    card.t0 = options.t0;
    // The historical bytes are 0031C0649000 and six more: C0DE... contactless, zeros otherwise.
    card.atr = options.contactless ? hex("3B8880010031C0649000C0DE12")
               : options.t0        ? hex("3B6C00000031C0649000000000000000")
                                   : hex("3BEC00008131FE450031C0649000000000000000E2");
    card.applications[kSocialSecurityApplication] = Bytes();
    card.files[0xEF05] = {
        {0x01, options.cardCode},          {0x02, {'3'}},
        {0x03, ascii(options.version)},    {0x04, ascii("330100000001")},
        {0x05, options.issueDate},         {0x06, options.expiryDate},
        {0x07, ascii(options.cardNumber)},
    };
    card.files[0xEF06] = {
        {0x08, ascii(options.socialNumber)}, {0x09, padded(options.name, 30, 0x00)},
        {0x0A, options.sex},                 {0x0B, options.ethnicity},
        {0x0C, hex("330102")},               {0x0D, hex("19920202")},
    };
    return card;
}

}  // namespace cardmodels

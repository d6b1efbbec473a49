// Reading the number of an EMV payment card.
#include "pictavo/cards/emv_card.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "pictavo/status.h"

namespace pictavo {
namespace {

// Tags of the EMV data elements read or sent here.
constexpr uint32_t kTagAid = 0x4F;
constexpr uint32_t kTagPriority = 0x87;
constexpr uint32_t kTagDirectorySfi = 0x88;
constexpr uint32_t kTagApplicationTemplate = 0x61;
constexpr uint32_t kTagPdol = 0x9F38;
constexpr uint32_t kTagGpoFormat1 = 0x80;
constexpr uint32_t kTagGpoFormat2 = 0x77;
constexpr uint32_t kTagAfl = 0x94;
constexpr uint32_t kTagPan = 0x5A;
constexpr uint32_t kTagTrack2 = 0x57;

// Bounds a card cannot make the reader exceed, however it answers.
constexpr size_t kMaxApplications = 16;
constexpr size_t kMaxRecords = 64;
constexpr uint8_t kMaxDirectoryRecords = 16;
constexpr size_t kMaxDolBytes = 250;  // 83 <length> <data> must fit one command

const Bytes& directoryName(bool contactless) {
    static const Bytes contact{'1', 'P', 'A', 'Y', '.', 'S', 'Y', 'S', '.', 'D', 'D', 'F', '0', '1'};
    static const Bytes proximity{'2', 'P', 'A', 'Y', '.', 'S', 'Y', 'S', '.', 'D', 'D', 'F', '0', '1'};
    return contactless ? proximity : contact;
}

// How one step with the card went: it answered what was asked, it has no such thing, or the
// card is gone (the whole read ends).
enum class Step { kDone, kNotHere, kCardGone };

Command select(const Bytes& name) { return Command{0x00, 0xA4, 0x04, 0x00, name, 0x00}; }

Command readRecord(uint8_t sfi, uint8_t record) {
    return Command{0x00, 0xB2, record, static_cast<uint8_t>((sfi << 3) | 0x04), {}, 0x00};
}

uint8_t bcd(int value) { return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10)); }

// A three-digit numeric code as n3 in two bytes: 156 is 01 56.
Bytes numericCode(uint16_t code) {
    return {bcd(code / 100), bcd(code % 100)};
}

// Numeric (format n) fields are right-aligned when their length differs from what the card asks.
bool isNumeric(uint32_t tag) {
    switch (tag) {
        case 0x9F02: case 0x9F03: case 0x9F1A: case 0x5F2A: case 0x9A: case 0x9C: case 0x9F21:
        case 0x9F35:
            return true;
        default:
            return false;
    }
}

// What this terminal says for each tag it knows; empty for the rest (zeros are sent).
Bytes terminalValue(uint32_t tag, const EmvTerminalData& terminal) {
    switch (tag) {
        case 0x9F02:  // amount, authorised: 0
        case 0x9F03:  // amount, other: 0
            return Bytes(6, 0x00);
        case 0x9F1A:  // terminal country code
            return numericCode(terminal.countryCode);
        case 0x5F2A:  // transaction currency code
            return numericCode(terminal.currencyCode);
        case 0x9A:  // transaction date
            return Bytes(terminal.date.begin(), terminal.date.end());
        case 0x9F21:  // transaction time
            return Bytes(terminal.time.begin(), terminal.time.end());
        case 0x9C:  // transaction type: goods and services
            return {0x00};
        case 0x9F37:  // unpredictable number
            return Bytes(terminal.unpredictableNumber.begin(), terminal.unpredictableNumber.end());
        case 0x9F35:  // terminal type: attended, online with offline capability
            return {0x22};
        case 0x9F33:  // terminal capabilities: IC, magnetic stripe and key entry; usual CVMs
            return {0xE0, 0xF8, 0xC8};
        case 0x9F66:  // terminal transaction qualifiers: contactless EMV and contact chip, online
                      // PIN and signature supported
            return {0x36, 0x00, 0x00, 0x00};
        default:
            return {};
    }
}

struct Application {
    Bytes aid;
    int priority = 16;  // 1 is first; without one, after those that have one
};

void addApplications(const Bytes& data, std::vector<Application>& applications) {
    for (const Bytes& entry : findAllTlv(data, kTagApplicationTemplate)) {
        const std::optional<Bytes> aid = findTlv(entry, kTagAid);
        if (!aid || aid->size() < 5 || aid->size() > 16) continue;
        Application application{*aid};
        const std::optional<Bytes> priority = findTlv(entry, kTagPriority);
        if (priority && !priority->empty() && ((*priority)[0] & 0x0F) != 0) {
            application.priority = (*priority)[0] & 0x0F;
        }
        applications.push_back(std::move(application));
    }
}

// The applications a payment directory lists, best priority first.
Step readDirectory(ApduSession& card, bool contactless, std::vector<Application>& applications) {
    CardAnswer answer;
    if (!card.send(select(directoryName(contactless)), answer)) return Step::kCardGone;
    if (!answer.ok()) return Step::kNotHere;
    // The proximity directory lists its entries in the answer itself; the contact one names a
    // file whose records hold them (some cards do both).
    addApplications(answer.data, applications);
    const std::optional<Bytes> sfi = findTlv(answer.data, kTagDirectorySfi);
    if (sfi && sfi->size() == 1 && (*sfi)[0] >= 1 && (*sfi)[0] <= 30) {
        for (uint8_t record = 1; record <= kMaxDirectoryRecords; ++record) {
            if (!card.send(readRecord((*sfi)[0], record), answer)) return Step::kCardGone;
            if (!answer.ok()) break;  // 6A83: no more records
            addApplications(answer.data, applications);
        }
    }
    std::stable_sort(applications.begin(), applications.end(),
                     [](const Application& a, const Application& b) { return a.priority < b.priority; });
    return Step::kDone;
}

// Reads the records the application file locator names until one holds the number.
Step readRecords(ApduSession& card, const Bytes& afl, std::string& number) {
    std::optional<std::string> fromTrack2;
    size_t records = 0;
    for (size_t at = 0; at + 4 <= afl.size(); at += 4) {
        const uint8_t sfi = afl[at] >> 3;
        const uint8_t first = afl[at + 1];
        const uint8_t last = afl[at + 2];
        if (sfi < 1 || sfi > 30 || first < 1 || last < first) continue;
        for (unsigned record = first; record <= last; ++record) {
            if (++records > kMaxRecords) break;
            CardAnswer answer;
            if (!card.send(readRecord(sfi, static_cast<uint8_t>(record)), answer)) {
                return Step::kCardGone;
            }
            if (!answer.ok()) continue;
            if (const std::optional<Bytes> pan = findTlv(answer.data, kTagPan)) {
                if (std::optional<std::string> digits = numberFromPan(*pan)) {
                    number = std::move(*digits);
                    return Step::kDone;
                }
            }
            if (!fromTrack2) {
                if (const std::optional<Bytes> track2 = findTlv(answer.data, kTagTrack2)) {
                    fromTrack2 = numberFromTrack2(*track2);
                }
            }
        }
    }
    if (!fromTrack2) return Step::kNotHere;
    number = std::move(*fromTrack2);
    return Step::kDone;
}

// SELECT, GET PROCESSING OPTIONS and the records of one application.
Step readApplication(ApduSession& card, const Bytes& aid, const EmvTerminalData& terminal,
                     std::string& number) {
    CardAnswer answer;
    if (!card.send(select(aid), answer)) return Step::kCardGone;
    if (!answer.ok()) return Step::kNotHere;

    std::vector<DolEntry> dol;
    if (const std::optional<Bytes> pdol = findTlv(answer.data, kTagPdol)) {
        std::optional<std::vector<DolEntry>> entries = parseDol(*pdol);
        if (!entries) return Step::kNotHere;
        dol = std::move(*entries);
    }
    const std::optional<Bytes> dolData = fillDol(dol, terminal);
    if (!dolData) return Step::kNotHere;
    Bytes gpoData{0x83};
    if (dolData->size() >= 0x80) gpoData.push_back(0x81);
    gpoData.push_back(static_cast<uint8_t>(dolData->size()));
    gpoData.insert(gpoData.end(), dolData->begin(), dolData->end());
    if (!card.send(Command{0x80, 0xA8, 0x00, 0x00, gpoData, 0x00}, answer)) return Step::kCardGone;
    if (!answer.ok()) return Step::kNotHere;

    // Format 1 (tag 80): the interchange profile (2 bytes), then the file locator. Format 2
    // (tag 77): tagged objects, which on a contactless card may already hold the number.
    const std::optional<std::vector<TlvObject>> objects = parseTlvList(answer.data);
    if (!objects || objects->empty()) return Step::kNotHere;
    const TlvObject& top = objects->front();
    Bytes afl;
    if (top.tag == kTagGpoFormat1 && top.value.size() >= 2) {
        afl.assign(top.value.begin() + 2, top.value.end());
    } else if (top.tag == kTagGpoFormat2) {
        if (const std::optional<Bytes> pan = findTlv(top.value, kTagPan)) {
            if (std::optional<std::string> digits = numberFromPan(*pan)) {
                number = std::move(*digits);
                return Step::kDone;
            }
        }
        if (std::optional<Bytes> locator = findTlv(top.value, kTagAfl)) afl = std::move(*locator);
        Step step = readRecords(card, afl, number);
        if (step != Step::kNotHere) return step;
        if (const std::optional<Bytes> track2 = findTlv(top.value, kTagTrack2)) {
            if (std::optional<std::string> digits = numberFromTrack2(*track2)) {
                number = std::move(*digits);
                return Step::kDone;
            }
        }
        return Step::kNotHere;
    } else {
        return Step::kNotHere;
    }
    return readRecords(card, afl, number);
}

std::optional<std::string> digitsOf(const Bytes& bytes, uint8_t stopNibble, bool stopRequired) {
    std::string digits;
    bool stopped = false;
    for (uint8_t byte : bytes) {
        for (uint8_t nibble : {static_cast<uint8_t>(byte >> 4), static_cast<uint8_t>(byte & 0x0F)}) {
            if (stopped) {
                // After the end only padding may follow a PAN; track 2 goes on with other data.
                if (!stopRequired && nibble != 0x0F) return std::nullopt;
                continue;
            }
            if (nibble == stopNibble) {
                stopped = true;
            } else if (nibble <= 9) {
                digits.push_back(static_cast<char>('0' + nibble));
            } else {
                return std::nullopt;
            }
        }
        if (stopped && stopRequired) break;
    }
    if (stopRequired && !stopped) return std::nullopt;
    if (digits.size() < 12 || digits.size() > 19) return std::nullopt;
    return digits;
}

}  // namespace

EmvTerminalData emvTerminalDataNow(uint16_t countryCode, uint16_t currencyCode) {
    EmvTerminalData data;
    data.countryCode = countryCode;
    data.currencyCode = currencyCode;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        data.date = {bcd(local.tm_year % 100), bcd(local.tm_mon + 1), bcd(local.tm_mday)};
        data.time = {bcd(local.tm_hour), bcd(local.tm_min), bcd(local.tm_sec)};
    }
    // The card mixes this into its cryptogram; it must not be guessable.
    std::random_device random;
    const uint32_t number = random();
    for (size_t i = 0; i < 4; ++i) {
        data.unpredictableNumber[i] = static_cast<uint8_t>(number >> (24 - 8 * i));
    }
    return data;
}

const std::vector<Bytes>& knownPaymentApplications() {
    static const std::vector<Bytes> applications{
        {0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, 0x01},  // UnionPay debit
        {0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, 0x02},  // UnionPay credit
        {0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, 0x03},  // UnionPay quasi-credit
        {0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10},        // Visa
        {0xA0, 0x00, 0x00, 0x00, 0x03, 0x20, 0x10},        // Visa Electron
        {0xA0, 0x00, 0x00, 0x00, 0x04, 0x10, 0x10},        // Mastercard
        {0xA0, 0x00, 0x00, 0x00, 0x04, 0x30, 0x60},        // Maestro
    };
    return applications;
}

int readEmvCardNumber(ApduSession& card, bool contactless, const EmvTerminalData& terminal,
                      std::string& number) {
    // The directory of the interface the card sits on first, the other one when that lists
    // nothing, then the applications every such card may hold.
    std::vector<Application> applications;
    for (bool proximity : {contactless, !contactless}) {
        if (readDirectory(card, proximity, applications) == Step::kCardGone) return kFailed;
        if (!applications.empty()) break;
    }
    for (const Bytes& aid : knownPaymentApplications()) {
        const bool listed = std::any_of(applications.begin(), applications.end(),
                                        [&](const Application& a) { return a.aid == aid; });
        if (!listed) applications.push_back(Application{aid});
    }
    if (applications.size() > kMaxApplications) applications.resize(kMaxApplications);

    for (const Application& application : applications) {
        std::string found;
        const Step step = readApplication(card, application.aid, terminal, found);
        if (step == Step::kCardGone) return kFailed;
        if (step == Step::kDone) {
            number = std::move(found);
            return kOk;
        }
    }
    return kFailed;
}

std::optional<Bytes> fillDol(const std::vector<DolEntry>& dol, const EmvTerminalData& terminal) {
    Bytes data;
    for (const DolEntry& entry : dol) {
        if (entry.length > kMaxDolBytes || data.size() + entry.length > kMaxDolBytes) {
            return std::nullopt;
        }
        const Bytes value = terminalValue(entry.tag, terminal);
        Bytes field(entry.length, 0x00);
        const size_t copied = std::min(value.size(), entry.length);
        if (isNumeric(entry.tag)) {
            std::copy(value.end() - static_cast<ptrdiff_t>(copied), value.end(),
                      field.end() - static_cast<ptrdiff_t>(copied));
        } else {
            std::copy(value.begin(), value.begin() + static_cast<ptrdiff_t>(copied), field.begin());
        }
        data.insert(data.end(), field.begin(), field.end());
    }
    return data;
}

std::optional<std::string> numberFromPan(const Bytes& pan) { return digitsOf(pan, 0x0F, false); }

std::optional<std::string> numberFromTrack2(const Bytes& track2) {
    return digitsOf(track2, 0x0D, true);
}

}  // namespace pictavo

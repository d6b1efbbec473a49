// An emulator of an ID card reader's security module (SAM), written from the frame protocol: it
// answers request frames as a module does (find, select, read with and without fingerprints,
// additional address, status), with a card on it or not, and can misbehave on demand: noise
// before a reply, replies in pieces, a damaged checksum, silence, a module that reads a card
// once until it leaves the field. `PtySamModule` puts it on a pseudo-terminal, so the library
// opens it as the serial port it would open for a real reader.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "pictavo/cards/sam_frames.h"

namespace samtest {

using pictavo::Bytes;
using CardText = std::array<uint8_t, 256>;

// `text` as UCS-2 little endian at `offset`, padded with spaces to `bytes`.
inline void putUcs2(CardText& card, size_t offset, size_t bytes, const std::u16string& text) {
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const char16_t unit = i / 2 < text.size() ? text[i / 2] : u' ';
        card[offset + i] = static_cast<uint8_t>(unit & 0xFF);
        card[offset + i + 1] = static_cast<uint8_t>(unit >> 8);
    }
}

inline CardText blankText() {
    CardText text{};
    putUcs2(text, 0, text.size(), u"");
    return text;
}

// A resident identity card's text: the fields as the card stores them (sex and ethnicity as
// codes: "1", "01").
inline CardText residentText(const std::array<std::u16string, 9>& stored) {
    CardText text = blankText();
    const size_t offsets[9] = {0, 30, 32, 36, 52, 122, 158, 188, 204};
    const size_t widths[9] = {30, 2, 4, 16, 70, 36, 30, 16, 16};
    for (size_t i = 0; i < 9; ++i) putUcs2(text, offsets[i], widths[i], stored[i]);
    return text;
}

struct EmulatedCard {
    CardText text = blankText();
    Bytes photo = Bytes(1024, 0x5A);  // the encoded photo, as the card holds it
    size_t fingerprintBytes = 1024;   // 0, 512 or 1024
    Bytes additionalAddress;          // empty: the card has none (91)

    // Record `index` of the fingerprints: bytes that tell the record and the card apart.
    uint8_t fingerprintByte(size_t index, size_t at) const {
        return static_cast<uint8_t>(text[10] + index * 37 + at * 7);
    }
};

class SamModuleEmulator {
  public:
    void putCard(EmulatedCard card) {
        std::lock_guard<std::mutex> lock(mutex_);
        card_ = std::move(card);
        readLatch_ = false;
    }
    void removeCard() {
        std::lock_guard<std::mutex> lock(mutex_);
        card_.reset();
        readLatch_ = false;
    }
    // Misbehaviour.
    void setSilent(bool silent) { set(silent_, silent); }
    // Answers find and select, and nothing once asked to read.
    void setSilentOnReads(bool silent) { set(silentOnReads_, silent); }
    void setNoiseBeforeReplies(bool noise) { set(noise_, noise); }
    void setPieceSize(size_t bytes) { set(pieceSize_, bytes); }
    void damageNextReplies(int count) { set(damageLeft_, count); }
    // A read latches: find answers "no card" until the card leaves the field.
    void setReadsOnceUntilRemoved(bool once) { set(readOnce_, once); }
    void setKnowsFingerprintRead(bool knows) { set(knowsFingerprints_, knows); }
    // Replies are held back this long (the module's own time).
    void setReplyDelay(std::chrono::milliseconds delay) { set(delay_, delay); }

    int requests(pictavo::SamCommand command) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = requests_.find(command.command << 8 | command.parameter);
        return found == requests_.end() ? 0 : found->second;
    }
    size_t pieceSize() const { return get(pieceSize_); }
    std::chrono::milliseconds replyDelay() const { return get(delay_); }

    // The bytes to send for one request (CMD PARA data); empty: say nothing.
    Bytes reply(const Bytes& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_[request[0] << 8 | request[1]];
        if (silent_ || (silentOnReads_ && request[0] == 0x30)) return {};
        Bytes frame = pictavo::samFrame(answer(request[0], request[1]));
        if (damageLeft_ > 0) {
            --damageLeft_;
            frame.back() ^= 0xFF;
        }
        if (!noise_) return frame;
        // Line noise, with a false start that claims an impossible length.
        Bytes noisy{0x00, 0x13, 0xFE, 0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x02, 0x55};
        noisy.insert(noisy.end(), frame.begin(), frame.end());
        return noisy;
    }

  private:
    template <class T, class V>
    void set(T& field, V value) {
        std::lock_guard<std::mutex> lock(mutex_);
        field = value;
    }
    template <class T>
    T get(const T& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }

    static void putLength(Bytes& body, size_t length) {
        body.push_back(static_cast<uint8_t>(length >> 8));
        body.push_back(static_cast<uint8_t>(length));
    }

    // SW1 SW2 SW3 and data.
    Bytes answer(uint8_t command, uint8_t parameter) {
        const bool card = card_.has_value() && !readLatch_;
        switch (command << 8 | parameter) {
            case 0x10FF:
            case 0x11FF: return {0, 0, 0x90};
            case 0x2001: return card ? Bytes{0, 0, 0x9F, 0, 0, 0, 0} : Bytes{0, 0, 0x80};
            case 0x2002: return card ? Bytes{0, 0, 0x90, 0, 0, 0, 0, 0, 0, 0, 0} : Bytes{0, 0, 0x81};
            case 0x3001:
            case 0x3010: {
                const bool fingerprints = parameter == 0x10;
                if (fingerprints && !knowsFingerprints_) return {0, 0, 0x21};
                if (!card) return {0, 0, 0x41};
                Bytes body{0, 0, 0x90};
                putLength(body, card_->text.size());
                putLength(body, card_->photo.size());
                if (fingerprints) putLength(body, card_->fingerprintBytes);
                body.insert(body.end(), card_->text.begin(), card_->text.end());
                body.insert(body.end(), card_->photo.begin(), card_->photo.end());
                for (size_t i = 0; fingerprints && i < card_->fingerprintBytes; ++i) {
                    body.push_back(card_->fingerprintByte(i / 512, i % 512));
                }
                if (readOnce_) readLatch_ = true;
                return body;
            }
            case 0x3003: {
                if (!card_ || card_->additionalAddress.empty()) return {0, 0, 0x91};
                Bytes body{0, 0, 0x90};
                body.insert(body.end(), card_->additionalAddress.begin(),
                            card_->additionalAddress.end());
                return body;
            }
            default: return {0, 0, 0x21};
        }
    }

    mutable std::mutex mutex_;
    std::optional<EmulatedCard> card_;
    bool readLatch_ = false;
    bool silent_ = false;
    bool silentOnReads_ = false;
    bool noise_ = false;
    size_t pieceSize_ = 0;
    int damageLeft_ = 0;
    bool readOnce_ = false;
    bool knowsFingerprints_ = true;
    std::chrono::milliseconds delay_{0};
    std::map<int, int> requests_;
};

// The emulator behind a pseudo-terminal: the library opens path() as a serial port.
class PtySamModule {
  public:
    PtySamModule() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        path_ = ::ptsname(master_);
        // Raw both ways before the library sets the line up itself.
        termios line{};
        ::tcgetattr(master_, &line);
        ::cfmakeraw(&line);
        ::tcsetattr(master_, TCSANOW, &line);
        // Held open so that the terminal lives while the library opens and closes it.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (::pipe2(wake_, O_CLOEXEC) != 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~PtySamModule() { unplug(); }
    PtySamModule(const PtySamModule&) = delete;
    PtySamModule& operator=(const PtySamModule&) = delete;

    bool ready() const { return thread_.joinable(); }
    const std::string& path() const { return path_; }
    SamModuleEmulator& module() { return module_; }

    // The reader is pulled out: the terminal hangs up.
    void unplug() {
        if (thread_.joinable()) {
            stop_ = true;
            const char byte = 0;
            (void)!::write(wake_[1], &byte, 1);
            thread_.join();
        }
        for (int* fd : {&slave_, &master_, &wake_[0], &wake_[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

  private:
    void serve() {
        pictavo::SamFrameParser requests(2);
        while (!stop_) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0) continue;
            if (fds[1].revents != 0) break;
            uint8_t chunk[512];
            const ssize_t got = ::read(master_, chunk, sizeof chunk);
            if (got <= 0) continue;
            requests.feed(chunk, static_cast<size_t>(got));
            while (std::optional<Bytes> request = requests.next()) send(module_.reply(*request));
        }
    }

    void send(const Bytes& bytes) {
        if (bytes.empty()) return;
        std::this_thread::sleep_for(module_.replyDelay());
        const size_t piece = module_.pieceSize() == 0 ? bytes.size() : module_.pieceSize();
        for (size_t at = 0; at < bytes.size() && !stop_; at += piece) {
            const size_t size = std::min(piece, bytes.size() - at);
            if (::write(master_, bytes.data() + at, size) < 0) return;
            if (piece < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    SamModuleEmulator module_;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace samtest

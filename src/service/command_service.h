// The one command service: the request being handled, the argument getters, the state that
// commands share with each other and with pushes from library threads, and the reply path.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "biometrics/feature_slot.h"
#include "camera/camera_status.h"
#include "service/service_status.h"

namespace lenvaro {

class FaceMatchWorkers;

class CommandService {
public:
    // Delivers one composed message (internal code page) to the current connection, or drops
    // it; called from any thread.
    using TextSink = std::function<void(std::string)>;

    // Initialises the capture library (its result goes only to the status) and becomes the
    // process-wide instance that library callbacks reach. scratchDirectory holds the service's
    // own temporary files.
    // queuedBytes tells how much the current connection has not taken yet (none: 0). status,
    // when given, is told the library's start and the camera a page opens or closes (it must
    // outlive the service); without it the service keeps a status of its own.
    CommandService(std::string scratchDirectory, TextSink sink,
                   std::function<size_t()> queuedBytes = {}, ServiceStatus* status = nullptr);
    ~CommandService();
    CommandService(const CommandService&) = delete;
    CommandService& operator=(const CommandService&) = delete;

    // The process-wide instance (null when none exists). Library callbacks take it through
    // CallbackAccess instead, which keeps it alive while they use it.
    static CommandService* instance();

    // What a capture-library callback (a preview frame, an auto-capture event) holds while it
    // uses the service: the service is not destroyed meanwhile, and once its destruction has
    // begun no callback gets it any more. A library may deliver one last frame after its
    // cameras were closed and it was released; that frame finds no service and does nothing.
    class CallbackAccess {
    public:
        CallbackAccess();
        ~CallbackAccess();
        CallbackAccess(const CallbackAccess&) = delete;
        CallbackAccess& operator=(const CallbackAccess&) = delete;
        // Null when there is no service, or it is going away.
        CommandService* service() const { return service_; }

    private:
        CommandService* service_;
    };

    // Parses a request text, UTF-8 as the page sent it. False (and nothing to handle) when it is
    // not JSON, when JSON cannot take it (nesting too deep), or when its root is not an object.
    bool parseRequest(std::string text);

    // Getters over the current request. They never fail: a missing member or one of another
    // JSON type gives "", 0 or 0.0. Strings come in the internal code page. Numbers are told apart by how they were written: argInt takes
    // only integers without fraction or exponent that fit 32 bits, argFloat only numbers with a
    // fraction or an exponent.
    std::string envelopeString(const char* key) const;
    std::string argString(const char* key) const;
    int32_t argInt(const char* key) const;
    float argFloat(const char* key) const;

    // Composes and delivers one message; any thread.
    void sendReply(const std::string& name, const std::string& result, bool raw) const;
    // Delivers a message composed already (the preview builds its "$*$" text in place, saving
    // a copy of every frame); any thread.
    void sendComposedReply(std::string message) const;

    // Bytes sent to the current connection that it has not taken yet; pushes that would only
    // go stale (preview frames) are dropped while this is high.
    size_t queuedBytes() const { return queuedBytes_ ? queuedBytes_() : 0; }

    // The name of the command being handled ("" between commands), for the report of a quit
    // that could not wait for it. Any thread.
    std::string commandInHand() const;
    void setCommandInHand(std::string name);

    // What the desktop's icon shows; any thread.
    ServiceStatus& status() { return status_; }

    const std::string& scratchDirectory() const { return scratchDirectory_; }
    // The preview JPEG's path in the scratch directory.
    const std::string& previewTempPath() const { return previewTempPath_; }

    // State shared with library threads; each read and write is a whole value.
    std::atomic<bool> pushSuspended{false};   // true from a connection's close to the next open
    std::atomic<int32_t> currentDevice{0};    // the camera a successful camOpenDev opened
    std::atomic<int32_t> currentSubtype{0};   // its media type (camOpenDev, camSetMediaType)
    std::atomic<int32_t> secondTableDevice{0};
    std::atomic<bool> pdfListReady{true};
    // What the camera commands did, for GET /status (read on the I/O thread).
    CameraStatus cameraStatus;
    // The state GET /status tells pages, as JSON members (CameraStatus::jsonMembers); any thread.
    std::string statusMembers() const;

    // Auto capture, armed by camStartAutoCapture and read by the library's callback thread.
    std::atomic<int32_t> autoCaptureCount{0};  // number of the last auto-captured file
    std::atomic<int32_t> autoCaptureParam{0};  // the event value that triggers a capture
    // Template of the auto-captured file names; copied whole under a lock.
    std::string autoCapturePath() const;
    void setAutoCapturePath(std::string path);

    // Fingerprint feature slots, service thread only: CollectFingerFeature fills one,
    // CompareFingerFeature compares the two and empties both. They start empty.
    FeatureSlot featureSlot1;
    FeatureSlot featureSlot2;

    // The background face matches (camStartAsyMatchFaceBase64Video), which push from threads of
    // their own.
    FaceMatchWorkers& faceMatchWorkers() { return *faceMatchWorkers_; }
    // Ends the work that would still send on its own: each face match worker finishes the
    // library call it is in and ends without a reply. The host calls this once the endpoint has
    // stopped and before the endpoint is destroyed; the destructor calls it too.
    void stopBackgroundWork();
    // Turns library callbacks away from now on and waits for those still inside. The host calls
    // it before it closes the cameras, so that no frame does anything once the library is
    // released (a library may deliver one late); the destructor calls it too. Idempotent.
    void closeCallbacks();

private:
    const Json::Value* argument(const char* key) const;

    ServiceStatus ownStatus_;
    ServiceStatus& status_;
    std::string scratchDirectory_;
    std::string previewTempPath_;
    TextSink sink_;
    std::function<size_t()> queuedBytes_;
    std::unique_ptr<Json::CharReader> reader_;
    std::string requestText_;  // kept: number literals are read back from it
    Json::Value request_;
    mutable std::mutex commandInHandMutex_;
    std::string commandInHand_;
    mutable std::mutex autoCaptureMutex_;
    std::string autoCapturePath_;
    std::unique_ptr<FaceMatchWorkers> faceMatchWorkers_;
};

}  // namespace lenvaro

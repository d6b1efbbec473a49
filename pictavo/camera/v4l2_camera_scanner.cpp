// Scanning for V4L2 cameras.
#include "pictavo/camera/v4l2_camera_scanner.h"

#include "pictavo/camera/v4l2_camera.h"
#include "pictavo/camera/v4l2_enumeration.h"

namespace pictavo {
namespace {

class V4l2Scanner final : public CameraScanner {
  public:
    V4l2Scanner(std::string root, std::shared_ptr<V4l2Io> io)
        : root_(std::move(root)), io_(std::move(io)) {}

    std::vector<ScannedCamera> scan() override {
        std::vector<ScannedCamera> cameras;
        for (V4l2NodeInfo& node : findV4l2CaptureNodes(root_, *io_)) {
            std::string identity = node.identity;
            cameras.push_back({std::move(identity), std::make_unique<V4l2Camera>(std::move(node), io_)});
        }
        return cameras;
    }

  private:
    const std::string root_;
    const std::shared_ptr<V4l2Io> io_;
};

}  // namespace

std::unique_ptr<CameraScanner> makeV4l2Scanner(std::string root, std::shared_ptr<V4l2Io> io) {
    return std::make_unique<V4l2Scanner>(std::move(root), std::move(io));
}

}  // namespace pictavo

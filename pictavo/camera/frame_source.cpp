// Latest-frame access for engines that work on live frames.
#include "pictavo/camera/frame_source.h"

#include "pictavo/camera/image_ops.h"
#include "pictavo/library.h"
#include "pictavo/status.h"

namespace pictavo {

int latestCameraFrame(int dev, FrameCopy& frame) {
    Frame latest;
    const int status = Library::instance().cameras().latestFrame(dev, latest);
    if (status != kOk) return status;
    Raster raster = rasterFromFrame(latest);
    frame.width = raster.width;
    frame.height = raster.height;
    frame.rgb = std::move(raster.data);
    return kOk;
}

}  // namespace pictavo

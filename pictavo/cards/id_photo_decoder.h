// The holder's photo: the card holds it encoded, and only the decoder library the reader's maker
// ships turns it into pixels. We never ship one; the configuration names it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "pictavo/cards/card_images.h"
#include "pictavo/cards/id_reader_settings.h"
#include "pictavo/cards/sam_frames.h"

namespace pictavo {

inline constexpr int kIdPhotoWidth = 102;
inline constexpr int kIdPhotoHeight = 126;
// 102 x 126 pixels over the card's 26 x 32 mm.
inline constexpr int kIdPhotoPixelsPerMetre = 3937;

// Decodes the card's encoded photo with the maker's decoder, loaded and run in a child process
// (recognition/isolated_call.h), so that a crash or hang of the maker's code takes the child
// alone; `timeout` bounds it. The photo upright, or none with `problem` saying why (naming the
// decoder, never anything of the card).
std::optional<CardImage> decodeIdPhoto(const PhotoDecoderSettings& decoder, const Bytes& encoded,
                                       std::chrono::milliseconds timeout, std::string& problem);

}  // namespace pictavo

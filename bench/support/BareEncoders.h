#pragma once

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// The libraries alone, as a yardstick for the server's own encoders: libavcodec's HuffYUV
// on the gray image as its Y plane, and libjpeg on the false-colour RGB image.

class CBareHuffyuv {
  public:
    CBareHuffyuv(const std::vector<uint8_t>& gray, int width, int height);
    ~CBareHuffyuv();
    CBareHuffyuv(const CBareHuffyuv&) = delete;
    CBareHuffyuv& operator=(const CBareHuffyuv&) = delete;

    bool Ok() const { return ok_; }
    // Encodes the frame once; the compressed size.
    int Encode();

  private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool ok_ = false;
};

class CBareJpeg {
  public:
    CBareJpeg(const std::vector<uint8_t>& gray, int width, int height, int quality);
    // Encodes the frame once; the JPEG size.
    unsigned long Encode();

  private:
    std::vector<uint8_t> rgb_;
    std::vector<uint8_t> out_;
    int width_, height_, quality_;
};

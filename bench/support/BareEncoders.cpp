#include "bench/support/BareEncoders.h"

#include <cstdio>
#include <cstring>

#include "compression/JpegEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}
#include <jpeglib.h>

CBareHuffyuv::CBareHuffyuv(const std::vector<uint8_t>& gray, int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_HUFFYUV);
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr)
        return;
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUV422P;
    context_->time_base = AVRational{1, 25};
    context_->thread_count = 1;
    if (height > 288)
        context_->flags |= AV_CODEC_FLAG_INTERLACED_ME;
    av_opt_set(context_->priv_data, "pred", "left", 0);
    frame_->format = AV_PIX_FMT_YUV422P;
    frame_->width = width;
    frame_->height = height;
    if (avcodec_open2(context_, codec, nullptr) < 0 || av_frame_get_buffer(frame_, 0) < 0)
        return;
    for (int y = 0; y < height; ++y) {
        std::memcpy(frame_->data[0] + y * frame_->linesize[0], gray.data() + size_t(y) * width,
                    size_t(width));
        std::memset(frame_->data[1] + y * frame_->linesize[1], 128, size_t(width) / 2);
        std::memset(frame_->data[2] + y * frame_->linesize[2], 128, size_t(width) / 2);
    }
    ok_ = true;
}

CBareHuffyuv::~CBareHuffyuv() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

int CBareHuffyuv::Encode() {
    if (!ok_ || avcodec_send_frame(context_, frame_) < 0 ||
        avcodec_receive_packet(context_, packet_) < 0)
        return 0;
    const int bytes = packet_->size;
    av_packet_unref(packet_);
    return bytes;
}

CBareJpeg::CBareJpeg(const std::vector<uint8_t>& gray, int width, int height, int quality)
    : rgb_(gray.size() * 3),
      out_(2 * gray.size() + 4096),
      width_(width),
      height_(height),
      quality_(quality) {
    for (size_t i = 0; i < gray.size(); ++i) {
        const FalseColour c = FalseColourTable()[gray[i]];
        rgb_[3 * i] = c.r;
        rgb_[3 * i + 1] = c.g;
        rgb_[3 * i + 2] = c.b;
    }
}

unsigned long CBareJpeg::Encode() {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.image_width = static_cast<JDIMENSION>(width_);
    cinfo.image_height = static_cast<JDIMENSION>(height_);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality_, TRUE);
    unsigned char* target = out_.data();
    unsigned long size = out_.size();
    jpeg_mem_dest(&cinfo, &target, &size);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb_.data() + size_t{cinfo.next_scanline} * size_t(width_) * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return size;
}

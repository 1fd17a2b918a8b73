#include "control/FrameTransfer.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "base/LogSink.h"
#include "frame/FastCopy.h"
#include "frame/FrameHeader.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

constexpr int16_t kCouldNotSend = 606;
constexpr int16_t kNoData = 607;
constexpr const char* kFrameGet = "FRAME.GET";
constexpr const char* kNonSchedGet = "NONSCHED.GET";

}  // namespace

CFrameTransfer::CFrameTransfer(IMessagePoster* poster, ILogSink* log,
                               std::function<void()> activity)
    : control_(std::make_unique<CSrv>(poster)), log_(log), activity_(std::move(activity)) {
    control_->SetPropertyCallHandler([this](const std::string& device, const std::string& property,
                                            int32_t, int32_t,
                                            int16_t) { OnPropertyCall(device, property); });
}

CFrameTransfer::~CFrameTransfer() {
    StopTransfer();
}

int CFrameTransfer::StartTransfer(const std::string& name, uint32_t frameBytes) {
    if (started_)
        return 1;
    control_->SetEquipmentName(name);
    control_->SetEnabled(true);
    const int16_t status = control_->EquipmentStatus();
    if (status != 0) {
        LogMessage(log_, "Init ZEFT (frame transfer) error: EqpStatus=%d", status);
        return 0;
    }
    control_->RegisterDeviceName(kDevice, 0);
    const uint64_t replyBytes = uint64_t{frameBytes} + kFrameHeaderSize;
    for (const char* property : {kFrameGet, kNonSchedGet}) {
        const int16_t rc =
            control_->AddProperty(property, 1, kZeftFormatByte, "",
                                  static_cast<int32_t>(std::min<uint64_t>(replyBytes, INT32_MAX)),
                                  kZeftFormatByte, "", kZeftRead, "read single frame");
        if (rc < 0) {
            LogMessage(log_, "Init ZEFT (frame transfer): Property register error %s: %d", property,
                       rc);
            control_->SetEnabled(false);
            return 0;
        }
    }
    transmit_ = replyBytes <= UINT32_MAX ? CPoolBlock::Alloc(static_cast<uint32_t>(replyBytes))
                                         : CPoolBlock();
    if (!transmit_) {
        LogMessage(log_,
                   "Init ZEFT (frame transfer): Could not allocate special video transmit buffer.");
        control_->SetEnabled(false);
        return 0;
    }
    held_.Reset();
    newFrame_ = false;
    started_ = true;
    return 1;
}

int CFrameTransfer::StopTransfer() {
    if (started_) {
        transmit_.Reset();
        held_.Reset();
    }
    control_->SetEnabled(false);
    started_ = false;
    return 1;
}

int CFrameTransfer::SendFrame(const CSharedMessageRef& message) {
    if (!started_ || !message)
        return 0;
    held_.Reset();
    newFrame_ = false;
    // A frame larger than the reply array could only be sent cut, which no client can
    // decode; a size change without a reconfiguration (a device that changed its mode)
    // is the only way to get one.
    if (message->Length() > transmit_.Size()) {
        ++refused_;
        return 0;
    }
    held_ = message;
    newFrame_ = true;
    _SystemScheduleProperty(control_->ExportName().c_str(), kFrameGet);
    return 1;
}

void CFrameTransfer::Reply(bool consume) {
    const uint32_t length = held_ ? held_->Length() : 0;
    if (length > 0)
        FastCopy(transmit_.Data(), held_->Data(), length);
    const std::span<const uint8_t> bytes(transmit_.Data(), transmit_.Size());
    if (control_->PutReplyArray(bytes, length) == 0)
        control_->SetCallStatus(0, "");
    else
        control_->SetCallStatus(kCouldNotSend, "Could not send data.");
    if (consume)
        newFrame_ = false;
}

void CFrameTransfer::OnPropertyCall(const std::string& device, const std::string& property) {
    if (device != kDevice || (property != kFrameGet && property != kNonSchedGet))
        return;
    if (activity_)
        activity_();
    if (!started_)
        return;
    if (property == kFrameGet) {
        if (!newFrame_)
            return control_->SetCallStatus(kNoData, "No data to send.");
        Reply(true);
    } else {
        Reply(false);
    }
}

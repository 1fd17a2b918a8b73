#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/MessagePoster.h"
#include "zeft/ZeftControlLink.h"

// A server control: serves the properties of its devices under one equipment name of the
// registered process (RegisterFecInformation). Every client call for it is raised as
// PropertyCall on the main thread, through the IMessagePoster given at construction,
// never on a network thread; the handler reads the request with GetRequestData, puts
// the reply with PutReplyData or PutReplyArray and ends the call with SetCallStatus.
// One process may hold several controls with different equipment names. A disabled
// control answers no call: clients get kZeftIllegalEquipment.
//
// Owned by its window's object; every member is called on the main thread. The poster
// must outlive the control.
class CSrv final : public IZeftCallTarget {
  public:
    // device, property, request element count, reply capacity the client asked for,
    // access bits (1 read, 2 write). Any access 0 to 3 arrives, also one the property was
    // not declared with: the handler gives its own reply code for those.
    using PropertyCallHandler =
        std::function<void(const std::string& device, const std::string& property,
                           int32_t requestCount, int32_t replyCapacity, int16_t access)>;

    explicit CSrv(IMessagePoster* poster);
    ~CSrv();
    CSrv(const CSrv&) = delete;
    CSrv& operator=(const CSrv&) = delete;

    // The name under which _SystemScheduleProperty finds this control: its equipment name.
    std::string ExportName() const { return equipmentName_; }
    std::string EquipmentName() const { return equipmentName_; }
    // An enabled control is served under the new name at once (EquipmentStatus tells
    // whether it could be); otherwise from the next enabling.
    void SetEquipmentName(std::string_view name);
    // 0 while serving; otherwise why not: kZeftNotEnabled, kZeftNotRegistered (the process
    // is not registered), kZeftInvalidArgument (no usable name), kZeftEquipmentInUse.
    int16_t EquipmentStatus() const { return equipmentStatus_; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // Adds a device served by this control; 0, or kZeftInvalidArgument for an unusable
    // name. A name given twice is kept once.
    int16_t RegisterDeviceName(std::string_view device, int16_t flags);

    // Declares a property for all devices of this control. Sizes count elements; the
    // tags are kept but unused. 0, or kZeftDuplicateProperty (the name is declared with
    // other values; the same values again succeed, so a re-registration works),
    // kZeftUnknownFormat, kZeftBadSize (0, or a reply above kZeftMaxReplyBytes),
    // kZeftBadAccess, kZeftInvalidArgument (name).
    int16_t AddProperty(std::string_view name, int32_t requestSize, int16_t requestFormat,
                        std::string_view requestTag, int32_t replySize, int16_t replyFormat,
                        std::string_view replyTag, int16_t access, std::string_view description);

    struct Property {
        std::string name;
        uint32_t requestSize = 0;
        uint16_t requestFormat = 0;
        std::string requestTag;
        uint32_t replySize = 0;
        uint16_t replyFormat = 0;
        std::string replyTag;
        int16_t access = 0;
        std::string description;
    };
    const Property* FindProperty(std::string_view name) const;
    const std::vector<Property>& Properties() const { return properties_; }
    const std::vector<std::string>& Devices() const { return devices_; }

    void SetPropertyCallHandler(PropertyCallHandler handler) { handler_ = std::move(handler); }

    // Within a PropertyCall only (kZeftNotInCall otherwise).
    // Ends the call with `code` and `message` (cut to kZeftMaxMessage bytes); the last
    // call wins. Without it the call ends with 0.
    void SetCallStatus(int16_t code, std::string_view message);
    // The client's value converted to the wanted type: 0, or kZeftConversion when the
    // request holds no such value (no data, text that is not a number, out of range).
    int16_t GetRequestData(uint32_t& value);
    int16_t GetRequestData(double& value);
    // The request's raw bytes (the characters of a text), cut to the array; `count`
    // receives how many were stored.
    int16_t GetRequestData(std::span<uint8_t> array, uint32_t* count = nullptr);
    // The request's numbers (515, or 512 holding whole numbers within 32 bits), cut to the
    // array; `count` receives how many the request holds. kZeftConversion for any other request.
    int16_t GetRequestData(std::span<int32_t> values, uint32_t* count);
    // Stores the reply in the property's reply format: 0, kZeftConversion when the value
    // does not fit that format, kZeftReplyOverflow when it is longer than declared.
    int16_t PutReplyData(uint32_t value);
    int16_t PutReplyData(double value);
    int16_t PutReplyData(std::string_view text);
    // The first `count` bytes of `array` as the reply (count <= array size).
    int16_t PutReplyArray(std::span<const uint8_t> array, uint32_t count);

    // Network thread hand-over: runs one call on the main thread and returns the reply
    // body. Used by the layer only.
    std::vector<uint8_t> Execute(const ZeftWireCall& call) override;

  private:
    struct CallState {
        const ZeftWireCall* call = nullptr;
        const Property* property = nullptr;
        int16_t status = 0;
        std::string message;
        uint16_t format = kZeftFormatNone;
        uint32_t count = 0;
        std::vector<uint8_t> data;
    };
    int16_t StoreReply(uint16_t format, uint32_t count, const uint8_t* data, size_t length);

    std::shared_ptr<ZeftSrvCore> core_;
    IMessagePoster* poster_;
    std::string equipmentName_;
    int16_t equipmentStatus_ = kZeftNotEnabled;
    bool enabled_ = false;
    std::vector<std::string> devices_;
    std::vector<Property> properties_;
    PropertyCallHandler handler_;
    CallState* current_ = nullptr;  // the call being raised, if any
};

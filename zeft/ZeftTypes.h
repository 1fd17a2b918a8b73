#pragma once

#include <cstddef>
#include <cstdint>

// Values shared by the control-system layer, its servers and its clients: data formats,
// status codes and limits. docs/zeft-protocol.md describes them for people.

// Data formats. A size or count always counts elements of the format.
constexpr uint16_t kZeftFormatNone = 0;      // no data (a pure read request)
constexpr uint16_t kZeftFormatDouble = 512;  // 8-byte IEEE double
constexpr uint16_t kZeftFormatByte = 514;    // unsigned byte
constexpr uint16_t kZeftFormatInt = 515;     // signed 32-bit integer
constexpr uint16_t kZeftFormatChar =
    516;  // one 8-bit character; a text is `count` of them, no terminator
constexpr uint16_t kZeftFormatText =
    531;  // one whole text of 0 to kZeftMaxText bytes as one element
constexpr uint16_t kZeftFormatRecord = 539;  // one record of kZeftRecordSize bytes

// Bytes of one kZeftFormatRecord element, the largest element of any format.
constexpr uint32_t kZeftRecordSize = 16;

// Longest text carried as one kZeftFormatText element.
constexpr uint32_t kZeftMaxText = 1024;
// Longest context, server, equipment, device or property name.
constexpr size_t kZeftMaxName = 63;
// Longest status message of a call.
constexpr size_t kZeftMaxMessage = 255;
// Largest reply a property may declare, in bytes.
constexpr uint64_t kZeftMaxReplyBytes = 64u * 1024 * 1024;

// Bytes of one element; 0 for kZeftFormatText (variable) and for unknown formats.
uint32_t ZeftElementSize(uint16_t format);
bool ZeftFormatKnown(uint16_t format);

// Status codes (signed 16-bit). 0 is success. Codes set by a property handler
// (CSrv::SetCallStatus) are its own business and travel unchanged; they should be
// positive. The layer answers calls it refuses on the server side with the positive
// codes below, and reports failures of its own functions (client side, registration,
// server control) with negative codes.
constexpr int16_t kZeftOk = 0;

// Sent by a server in place of raising the handler.
constexpr int16_t kZeftIllegalProperty = 36;
constexpr int16_t kZeftIllegalEquipment = 1001;
constexpr int16_t kZeftIllegalDevice = 1002;
constexpr int16_t kZeftAccessDenied = 1003;
constexpr int16_t kZeftRequestTooLarge = 1004;
constexpr int16_t kZeftIllegalFormat = 1005;
constexpr int16_t kZeftServerBusy = 1006;
constexpr int16_t kZeftMonitorReadOnly = 1007;

// Returned by the layer's functions.
constexpr int16_t kZeftUnknownName = -1;
constexpr int16_t kZeftConnectFailed = -2;
constexpr int16_t kZeftTimeout = -3;
constexpr int16_t kZeftConnectionLost = -4;
constexpr int16_t kZeftProtocolError = -5;
constexpr int16_t kZeftReplyTooLarge = -6;
constexpr int16_t kZeftFormatMismatch = -7;
constexpr int16_t kZeftInvalidArgument = -8;
constexpr int16_t kZeftNotRegistered = -9;
constexpr int16_t kZeftRegistrationConflict = -10;
constexpr int16_t kZeftListenFailed = -11;
constexpr int16_t kZeftNotInCall = -12;
constexpr int16_t kZeftReplyOverflow = -13;
constexpr int16_t kZeftDuplicateProperty = -14;
constexpr int16_t kZeftUnknownFormat = -15;
constexpr int16_t kZeftBadSize = -16;
constexpr int16_t kZeftEquipmentInUse = -17;
constexpr int16_t kZeftNotEnabled = -18;
constexpr int16_t kZeftConversion = -19;
constexpr int16_t kZeftBadAccess = -20;

// The text of a status code of the layer; "" for codes the layer does not define.
const char* ZeftStatusText(int16_t code);

// Access bits of a call and of a property: read, write, or both.
constexpr int16_t kZeftRead = 1;
constexpr int16_t kZeftWrite = 2;
constexpr int16_t kZeftReadWrite = 3;

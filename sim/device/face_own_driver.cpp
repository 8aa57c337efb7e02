// The own-driver face: DeviceIoControl on the maker's driver with a
// VendorRequest buffer, a 16-byte head (the USB setup packet, then the data
// stage's length) followed by the data stage. The head is read here, field
// by field, as the driver lays it out.
#include <cstring>

#include "common/base/bytes.h"
#include "common/base/numbers.h"
#include "sim/device/firmware.h"

namespace zemb::sim {

namespace {

// USB request types (bmRequestType) the firmware answers.
constexpr uint8_t kVendorOut = 0x40;      // vendor, to the device
constexpr uint8_t kVendorIn = 0xC0;       // vendor, to the host
constexpr uint8_t kVendorInOther = 0xC3;  // vendor, to the host, recipient "other"

// The head before the data stage: the setup packet's eight bytes, four
// reserved, then the data stage's length.
constexpr uint32_t kVendorHead = 16;

}  // namespace

IoctlResult OwnDriverFace::Ioctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                 uint32_t outLength) {
  TraceEntry t;
  t.face = Face::Own;
  t.wireLength = inLength;
  auto fail = [&](uint32_t error, std::string note) {
    return fw_.FailIoctl(t, error, std::move(note));
  };
  if (!fw_.state.ownFace)
    return fail(kErrorDeviceNotConnected, "the device has no own-driver face");
  if (code != kOwnDriverIoctl)
    return fail(kErrorInvalidFunction, "control code " + HexText(code, 8));
  if (in == nullptr || out == nullptr || inLength < kVendorHead) {
    return fail(kErrorInvalidParameter, "buffer shorter than the 16-byte request head");
  }
  const uint8_t requestType = in[0];
  const uint8_t request = in[1];
  const uint16_t value = GetLe16(in + 2);
  const uint16_t index = GetLe16(in + 4);
  const uint16_t wLength = GetLe16(in + 6);
  const uint32_t dataLength = GetLe32(in + 12);
  t.kind = KindOfRequest(request);
  t.toDevice = (requestType & 0x80) == 0;
  t.length = wLength;
  if (t.kind == RequestKind::RomStatus) t.op = static_cast<uint8_t>(index);
  if (auto error = fw_.CountRequest({t.kind}, t)) return fail(*error, "");
  if (outLength != inLength) {
    return fail(kErrorInvalidParameter,
                "input length " + Dec(inLength) + " differs from output length " + Dec(outLength));
  }
  if (dataLength != wLength) {
    return fail(kErrorInvalidParameter,
                "data length field " + Dec(dataLength) + " differs from wLength " + Dec(wLength));
  }
  if (kVendorHead + wLength > inLength) {
    return fail(kErrorInvalidParameter, "data stage of " + Dec(wLength) +
                                            " bytes does not fit a buffer of " + Dec(inLength));
  }
  fw_.clock.AdvanceUs(fw_.state.timing.controlTransferUs);

  // Take the data stage before anything is written into the buffer.
  std::vector<uint8_t> stage;
  if (t.toDevice) stage.assign(in + kVendorHead, in + kVendorHead + wLength);
  std::vector<uint8_t> answer;
  if (Verdict v = Request(requestType, request, value, index, wLength, stage, &answer, t)) {
    return fail(kErrorGenFailure, "stall: " + v->note);
  }
  if (out != in) std::memmove(out, in, kVendorHead);
  if (!answer.empty()) std::memcpy(out + kVendorHead, answer.data(), answer.size());
  fw_.trace.push_back(t);
  return IoctlResult{true, kErrorSuccess,
                     kVendorHead + static_cast<uint32_t>(t.toDevice ? 0 : answer.size())};
}

Verdict OwnDriverFace::Request(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                               uint16_t wLength, const std::vector<uint8_t>& stage,
                               std::vector<uint8_t>* answer, TraceEntry& t) {
  auto expect = [&](uint8_t type, uint16_t length, const char* name) -> Verdict {
    if (requestType != type) {
      return Refuse(std::string(name) + " with bmRequestType " + HexText(requestType, 2) +
                    ", not " + HexText(type, 2));
    }
    if (wLength != length) {
      return Refuse(std::string(name) + " with wLength " + Dec(wLength) + ", not " + Dec(length));
    }
    if (request != kReqRomStatus && index != 0) {
      return Refuse(std::string(name) + " with wIndex " + HexText(index, 4));
    }
    return std::nullopt;
  };
  if (value != 0)
    return Refuse("request " + HexText(request, 2) + " with wValue " + HexText(value, 4));
  switch (request) {
    case kReqAccessRom: {
      if (Verdict v = expect(kVendorOut, kAccessRomBlockSize, "ACCESS_ROM")) return v;
      const RomRequest r = RomRequest::FromLeBlock(stage.data());
      t.op = r.op;
      t.address = r.address;
      t.length = r.length;
      if (Verdict v = fw_.CheckRomRequest(r, kFirmwareBuffer)) return v;
      if (r.op == kOpWrite) {
        if (!fw_.staged) return Refuse("write started with no data sent by ROM_DATA");
        if (fw_.staged->size() != r.length) {
          return Refuse("write of " + Dec(r.length) + " bytes, but ROM_DATA sent " +
                        Dec(fw_.staged->size()));
        }
      }
      fw_.StartRomOp(r, fw_.staged ? fw_.staged->data() : nullptr, t);
      if (r.op == kOpWrite) fw_.staged.reset();
      return std::nullopt;
    }
    case kReqRomStatus: {
      if (Verdict v = expect(kVendorIn, 2, "GET_ROMLD_STATUS")) return v;
      if (!fw_.lastOp || fw_.lastOp->op != index) {
        return Refuse("status of operation " + HexText(index, 2) + ", which was not started last");
      }
      *answer = {static_cast<uint8_t>(fw_.Finished(fw_.lastOp->op) ? 0x01 : 0x00), fw_.lastOp->op};
      return std::nullopt;
    }
    case kReqRomData: {
      if (requestType == kVendorOut) {
        if (wLength > kFirmwareBuffer) return Refuse("ROM_DATA of " + Dec(wLength) + " bytes");
        if (index != 0) return Refuse("ROM_DATA with wIndex " + HexText(index, 4));
        fw_.staged = stage;
        return std::nullopt;
      }
      if (Verdict v = expect(kVendorIn, wLength, "ROM_DATA")) return v;
      if (!fw_.Finished(kOpRead)) return Refuse("ROM_DATA read with no finished ROM read");
      if (wLength != fw_.readData.size()) {
        return Refuse("ROM_DATA read of " + Dec(wLength) + " bytes after a read of " +
                      Dec(fw_.readData.size()));
      }
      *answer = fw_.readData;
      return std::nullopt;
    }
    case kReqRomType:
      if (Verdict v = expect(kVendorIn, 1, "GET_ROM_TYPE")) return v;
      *answer = {static_cast<uint8_t>(fw_.state.romKind == RomKind::Spi ? 1 : 0)};
      return std::nullopt;
    case kReqFirmwareVersion:
      if (Verdict v = expect(kVendorIn, 8, "GetFirmwareVersion")) return v;
      answer->assign(8, 0);
      PutLe32(answer->data(), fw_.state.firmwareVersion[0]);
      PutLe32(answer->data() + 4, fw_.state.firmwareVersion[1]);
      return std::nullopt;
    case kReqSideSignature:
      if (Verdict v = expect(kVendorInOther, 4, "GetSideSignature")) return v;
      answer->assign(4, 0);
      PutLe32(answer->data(), fw_.state.sideSignature);
      return std::nullopt;
    default:
      return Refuse("request " + HexText(request, 2) + " is not answered on this face");
  }
}

}  // namespace zemb::sim

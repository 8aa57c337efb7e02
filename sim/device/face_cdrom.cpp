// The CD-ROM face: IOCTL_STORAGE_QUERY_PROPERTY, and IOCTL_SCSI_PASS_THROUGH
// carrying the vendor's 16-byte CDBs. The port driver's checks of the
// SCSI_PASS_THROUGH header come first, as on a real machine; then the
// firmware reads the CDB, its fields big-endian, and answers GOOD or CHECK
// CONDITION with fixed-format sense data.
#include <algorithm>
#include <array>
#include <cstring>

#include "common/base/bytes.h"
#include "common/base/numbers.h"
#include "sim/device/firmware.h"

namespace zemb::sim {

namespace {

// The SCSI status the firmware answers, in ScsiStatus.
constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;
constexpr uint32_t kFixedSenseSize = 18;  // response code 0x70, 10 additional bytes

// SCSI_PASS_THROUGH's DataIn: the direction of the data phase.
constexpr uint8_t kDataOut = 0;          // SCSI_IOCTL_DATA_OUT
constexpr uint8_t kDataIn = 1;           // SCSI_IOCTL_DATA_IN
constexpr uint8_t kDataUnspecified = 2;  // no data phase

}  // namespace

std::vector<uint8_t> BuildStorageDescriptor(const std::string& vendorId,
                                            const std::string& productId) {
  constexpr uint32_t kHeader = 40;
  std::vector<uint8_t> d(kHeader, 0);
  PutLe32(&d[0], kHeader);  // Version is sizeof(STORAGE_DEVICE_DESCRIPTOR)
  d[8] = 0x05;              // DeviceType: CD/DVD
  d[9] = 0x00;              // DeviceTypeModifier
  d[10] = 0x01;             // RemovableMedia
  d[11] = 0x00;             // CommandQueueing
  // VendorIdOffset, ProductIdOffset and ProductRevisionOffset, each naming
  // a NUL-terminated string after the header.
  const std::string ids[] = {vendorId, productId, "1.00"};
  for (size_t i = 0; i < 3; ++i) {
    PutLe32(&d[12 + 4 * i], static_cast<uint32_t>(d.size()));
    d.insert(d.end(), ids[i].begin(), ids[i].end());
    d.push_back(0);
  }
  PutLe32(&d[4], static_cast<uint32_t>(d.size()));
  PutLe32(&d[24], 0);  // no serial number
  PutLe32(&d[28], 7);  // BusTypeUsb
  PutLe32(&d[32], 0);  // RawPropertiesLength
  return d;
}

IoctlResult CdromFace::Ioctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                             uint32_t outLength, uint32_t headerLength) {
  if (code == kIoctlStorageQueryProperty) return StorageQuery(in, inLength, out, outLength);
  TraceEntry t;
  t.face = Face::Cdrom;
  t.wireLength = inLength;
  auto fail = [&](uint32_t error, std::string note) {
    return fw_.FailIoctl(t, error, std::move(note));
  };
  if (!fw_.state.cdromFace) return fail(kErrorDeviceNotConnected, "the device has no CD-ROM face");
  if (code != kIoctlScsiPassThrough)
    return fail(kErrorInvalidFunction, "control code " + HexText(code, 8));
  if (headerLength != 44 && headerLength != 56) {
    return fail(kErrorInvalidParameter, "port driver header length " + Dec(headerLength));
  }
  if (in == nullptr || out == nullptr || inLength < 2) {
    return fail(kErrorInvalidParameter, "no SCSI_PASS_THROUGH header");
  }
  const uint16_t length = GetLe16(in);
  if (length != headerLength) {
    return fail(kErrorRevisionMismatch, "SCSI_PASS_THROUGH Length " + Dec(length) +
                                            ", the port driver takes " + Dec(headerLength));
  }
  if (inLength < headerLength) {
    return fail(kErrorInvalidParameter, "buffer shorter than the header");
  }
  const uint8_t cdbLength = in[6];
  const uint8_t senseInfoLength = in[7];
  const uint8_t dataIn = in[8];
  const uint32_t transferLength = GetLe32(in + 12);
  const uint32_t timeOutSeconds = GetLe32(in + 16);
  uint64_t dataOffset = 0;
  uint32_t senseOffset = 0;
  const uint8_t* cdbAt = nullptr;
  if (headerLength == 44) {
    dataOffset = GetLe32(in + 20);
    senseOffset = GetLe32(in + 24);
    cdbAt = in + 28;
  } else {  // x64: DataBufferOffset is a ULONG_PTR aligned to 8
    dataOffset = GetLe64(in + 24);
    senseOffset = GetLe32(in + 32);
    cdbAt = in + 36;
  }
  std::array<uint8_t, 16> cdb{};
  std::memcpy(cdb.data(), cdbAt, std::min<size_t>(cdbLength, 16));
  t.kind = cdbLength > 0 ? KindOfRequest(cdb[0]) : RequestKind::Any;
  t.toDevice = dataIn == kDataOut;
  t.length = transferLength;
  if (auto error = fw_.CountRequest({t.kind}, t)) return fail(*error, "");

  // What the port driver checks before the command goes out.
  if (cdbLength == 0 || cdbLength > 16)
    return fail(kErrorInvalidParameter, "CdbLength " + Dec(cdbLength));
  if (dataIn > kDataUnspecified) return fail(kErrorInvalidParameter, "DataIn " + Dec(dataIn));
  if (inLength != outLength) {
    return fail(kErrorInvalidParameter,
                "input length " + Dec(inLength) + " differs from output length " + Dec(outLength));
  }
  if (transferLength > 0 && dataOffset < headerLength) {
    return fail(kErrorInvalidParameter, "data buffer inside the header");
  }
  if (dataOffset + transferLength != inLength) {
    return fail(kErrorInvalidParameter, "DataBufferOffset " + Dec(dataOffset) +
                                            " + DataTransferLength " + Dec(transferLength) +
                                            " != buffer length " + Dec(inLength));
  }
  if (senseInfoLength > 0) {
    const uint64_t senseEnd = uint64_t{senseOffset} + senseInfoLength;
    const bool overlapsData =
        transferLength > 0 && senseOffset < dataOffset + transferLength && dataOffset < senseEnd;
    if (senseOffset < headerLength || senseEnd > inLength || overlapsData) {
      return fail(kErrorInvalidParameter, "sense area " + Dec(senseOffset) + "+" +
                                              Dec(senseInfoLength) + " outside its place");
    }
  }
  fw_.clock.AdvanceUs(fw_.state.timing.scsiCommandUs);

  std::vector<uint8_t> dataOutBytes;
  if (dataIn == kDataOut) {
    dataOutBytes.assign(in + dataOffset, in + dataOffset + transferLength);
  }
  ScsiOutcome o;
  if (std::optional<std::string> refused = fw_.RefusalFaultFires(t.kind)) {
    o.check = Refuse(*refused, kSenseHardwareError, kAscInternalFailure);
  } else {
    o = ExecuteCdb(cdb.data(), cdbLength, dataIn, transferLength, dataOutBytes, timeOutSeconds, t);
  }
  if (o.ioError != kErrorSuccess) return fail(o.ioError, o.note);

  if (out != in) std::memmove(out, in, inLength);
  uint32_t transferred = 0;
  if (o.check) {
    t.failed = true;
    t.note = "CHECK CONDITION: " + o.check->note;
    out[2] = kScsiCheckCondition;
    const uint32_t senseBytes = std::min<uint32_t>(kFixedSenseSize, senseInfoLength);
    std::array<uint8_t, kFixedSenseSize> sense{};
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = o.check->senseKey;
    sense[7] = kFixedSenseSize - 8;
    sense[12] = o.check->asc;
    sense[13] = o.check->ascq;
    if (senseBytes > 0) std::memcpy(out + senseOffset, sense.data(), senseBytes);
    out[7] = static_cast<uint8_t>(senseBytes);
    PutLe32(out + 12, dataIn == kDataIn ? 0 : transferLength);
  } else {
    out[2] = kScsiGood;
    out[7] = 0;
    if (dataIn == kDataIn) {
      transferred = static_cast<uint32_t>(o.dataIn.size());
      // The data stage ends a byte early and the device still says GOOD:
      // only DataTransferLength tells.
      if (transferred > 0 && fw_.ShortReadFaultFires(Face::Cdrom)) {
        --transferred;
        t.failed = true;
        t.note = "fault: read returned " + Dec(transferred) + " of " + Dec(transferred + 1) +
                 " bytes with GOOD status";
      }
      // An empty answer has no data pointer to copy from.
      if (transferred > 0) std::memcpy(out + dataOffset, o.dataIn.data(), transferred);
      PutLe32(out + 12, transferred);
    }
  }
  fw_.trace.push_back(t);
  return IoctlResult{true, kErrorSuccess, static_cast<uint32_t>(dataOffset) + transferred};
}

CdromFace::ScsiOutcome CdromFace::ExecuteCdb(const uint8_t* cdb, uint8_t cdbLength, uint8_t dataIn,
                                             uint32_t transferLength,
                                             const std::vector<uint8_t>& dataOut,
                                             uint32_t timeOutSeconds, TraceEntry& t) {
  ScsiOutcome o;
  auto check = [&](Refusal r) {
    o.check = std::move(r);
    return o;
  };
  // The device and the host disagree about the data phase: the transport
  // gives up on the command, and the host call fails.
  auto phase = [&](uint8_t direction, uint32_t length) -> bool {
    if (dataIn == direction && transferLength == length) return false;
    o.ioError = kErrorIoDevice;
    o.note = "data phase: host sends DataIn " + Dec(dataIn) + " with " + Dec(transferLength) +
             " bytes, the command moves DataIn " + Dec(direction) + " with " + Dec(length);
    return true;
  };
  if (cdbLength != 16) return check(Refuse("CDB of " + Dec(cdbLength) + " bytes, not 16"));
  if (std::memcmp(cdb + 1, "ZEMB", 4) != 0) {
    return check(Refuse("CDB without the ZEMB signature", kSenseIllegalRequest, kAscInvalidOpcode));
  }
  switch (cdb[0]) {
    case kReqAccessRom: {
      const RomRequest r = RomRequest::FromCdb(cdb);
      t.op = r.op;
      t.address = r.address;
      t.length = r.length;
      if (r.op == kOpChipErase || r.op == kOpSectorErase) {
        if (phase(kDataUnspecified, 0)) return o;
        if (Verdict v = fw_.CheckRomRequest(r, kFirmwareBuffer)) return check(*v);
        fw_.StartRomOp(r, nullptr, t);
        return o;
      }
      if (r.op != kOpRead && r.op != kOpWrite) {
        return check(Refuse("unknown ROM operation " + HexText(r.op, 2)));
      }
      t.toDevice = r.op == kOpWrite;
      if (phase(r.op == kOpRead ? kDataIn : kDataOut, r.length)) return o;
      if (Verdict v = fw_.CheckRomRequest(r, kFirmwareBuffer)) return check(*v);
      const Firmware::Started s = fw_.StartRomOp(r, dataOut.data(), t);
      if (s.stalled) {
        // The command never completes; the port driver gives up after the
        // command's own time-out.
        fw_.clock.AdvanceUs(uint64_t{timeOutSeconds} * 1000000);
        o.ioError = kErrorSemTimeout;
        o.note = t.note + "; the command timed out after " + Dec(timeOutSeconds) + " s";
        return o;
      }
      fw_.clock.AdvanceUs(s.busyUs);
      if (r.op == kOpRead) o.dataIn = fw_.readData;
      return o;
    }
    case kReqRomStatus:
      t.op = cdb[5];
      if (phase(kDataIn, 2)) return o;
      if (cdb[5] != 0xFF || GetBe16(cdb + 13) != 2) {
        return check(Refuse("status CDB needs 0xFF in byte 5 and length 2 in bytes 13-14"));
      }
      // This face asks whether the device is idle: the last operation,
      // whatever it was, has finished (or none ever ran).
      o.dataIn = {static_cast<uint8_t>(fw_.Busy() ? 0x00 : 0x01),
                  static_cast<uint8_t>(fw_.lastOp ? fw_.lastOp->op : 0)};
      return o;
    case kReqRomType:
    case kReqFirmwareVersion:
    case kReqSideSignature: {
      const uint32_t size = cdb[0] == kReqRomType ? 1 : cdb[0] == kReqFirmwareVersion ? 8 : 4;
      if (phase(kDataIn, size)) return o;
      if (GetBe16(cdb + 5) != size) {
        return check(Refuse("query " + HexText(cdb[0], 2) + " names " + Dec(GetBe16(cdb + 5)) +
                            " bytes in bytes 5-6, not " + Dec(size)));
      }
      o.dataIn.assign(size, 0);
      if (cdb[0] == kReqRomType) {
        o.dataIn[0] = fw_.state.romKind == RomKind::Spi ? 1 : 0;
      } else if (cdb[0] == kReqFirmwareVersion) {
        PutLe32(o.dataIn.data(), fw_.state.firmwareVersion[0]);
        PutLe32(o.dataIn.data() + 4, fw_.state.firmwareVersion[1]);
      } else {
        PutLe32(o.dataIn.data(), fw_.state.sideSignature);
      }
      return o;
    }
    case kReqIoAccess: {
      const uint8_t sub = cdb[12];
      t.op = sub;
      switch (sub) {
        case kIoI2cRead:
        case kIoI2cWrite: {
          const bool write = sub == kIoI2cWrite;
          t.toDevice = write;
          if (phase(write ? kDataOut : kDataIn, cdb[11])) return o;
          std::vector<uint8_t> bytes;
          if (Verdict v = fw_.I2cTransfer(cdb[5], cdb[6], cdb + 7, cdb[11],
                                          write ? dataOut.data() : nullptr, &bytes, t)) {
            return check(*v);
          }
          o.dataIn = std::move(bytes);
          return o;
        }
        case kIoGpioGet:
          t.length = 1;
          if (phase(kDataIn, 1)) return o;
          o.dataIn = {fw_.state.gpioData};
          return o;
        case kIoGpioSet:
        case kIoGpioSetDir:
          t.length = 1;
          t.toDevice = true;
          if (phase(kDataOut, 1)) return o;
          (sub == kIoGpioSet ? fw_.state.gpioData : fw_.state.gpioDirection) = dataOut[0];
          return o;
        default:
          return check(Refuse("unknown IO_ACCESS sub-command " + HexText(sub, 2)));
      }
    }
    default:
      return check(
          Refuse("unknown command " + HexText(cdb[0], 2), kSenseIllegalRequest, kAscInvalidOpcode));
  }
}

IoctlResult CdromFace::StorageQuery(const uint8_t* in, uint32_t inLength, uint8_t* out,
                                    uint32_t outLength) {
  TraceEntry t;
  t.face = Face::Cdrom;
  t.kind = RequestKind::StorageQuery;
  t.wireLength = outLength;
  auto fail = [&](uint32_t error, std::string note) {
    return fw_.FailIoctl(t, error, std::move(note));
  };
  if (!fw_.state.cdromFace) return fail(kErrorDeviceNotConnected, "the device has no CD-ROM face");
  if (auto error = fw_.CountRequest({t.kind}, t)) return fail(*error, "");
  if (in == nullptr || inLength < 12) {
    return fail(kErrorInvalidParameter, "STORAGE_PROPERTY_QUERY shorter than 12 bytes");
  }
  const uint32_t propertyId = GetLe32(in);
  const uint32_t queryType = GetLe32(in + 4);
  t.op = static_cast<uint8_t>(propertyId);
  if (propertyId != 0) return fail(kErrorNotSupported, "property " + Dec(propertyId));
  if (queryType == 1) {  // PropertyExistsQuery
    fw_.trace.push_back(t);
    return IoctlResult{true, kErrorSuccess, 0};
  }
  if (queryType != 0) return fail(kErrorInvalidParameter, "query type " + Dec(queryType));
  if (out == nullptr || outLength < 8) {
    return fail(kErrorInsufficientBuffer, "output shorter than STORAGE_DESCRIPTOR_HEADER");
  }
  const std::vector<uint8_t> d = BuildStorageDescriptor("Norva   ", "Kesh CD-ROM     ");
  const uint32_t n = std::min<uint32_t>(outLength, static_cast<uint32_t>(d.size()));
  std::memcpy(out, d.data(), n);
  t.length = n;
  fw_.trace.push_back(t);
  return IoctlResult{true, kErrorSuccess, n};
}

}  // namespace zemb::sim

#include "ioaccess/ioaccess.h"

#include <cstring>
#include <string>
#include <string_view>

#include "common/base/numbers.h"
#include "common/base/text.h"
#include "common/device/discovery.h"
#include "common/device/reporting.h"

namespace zemb {

namespace {

// Keywords match whole and in any letter case.
bool IsKeyword(const char* word, const char* keyword) {
  return EqualsIgnoreCase(word, keyword);
}

bool ParseByte(const char* text, uint8_t* destination) {
  return ParseHexNumber(text, destination, 1) != 0;
}

// The four numbers every I2C command starts with, words 3 to 6.
bool ParseI2cTarget(const char* const* argv, IoRequest& r) {
  return ParseByte(argv[3], &r.I2cAddress) && ParseByte(argv[4], &r.RegAddressSize) &&
         ParseHexNumber(argv[5], &r.RegAddress, 4) && ParseByte(argv[6], &r.DataSize);
}

}  // namespace

int ParseHexNumber(const char* text, void* destination, uint32_t width) {
  if (text == nullptr || destination == nullptr) return 0;
  if (width != 1 && width != 2 && width != 4 && width != 8) return 0;
  std::string_view digits(text);
  if (digits.size() >= 2 && digits[0] == '0' && UpperCase(digits[1]) == 'X') {
    digits.remove_prefix(2);
  }
  // Leading zeros count: 0x0078 is four digits and does not fit a byte.
  if (digits.size() > 2 * width) return 0;
  uint64_t value = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return 0;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  switch (width) {
    case 1: {
      auto v = static_cast<uint8_t>(value);
      std::memcpy(destination, &v, sizeof v);
      break;
    }
    case 2: {
      auto v = static_cast<uint16_t>(value);
      std::memcpy(destination, &v, sizeof v);
      break;
    }
    case 4: {
      auto v = static_cast<uint32_t>(value);
      std::memcpy(destination, &v, sizeof v);
      break;
    }
    default:
      std::memcpy(destination, &value, sizeof value);
      break;
  }
  return 1;
}

void ParseIoArguments(int argc, const char* const* argv, IoRequest& r) {
  r.Operation = IO_OPERATION_NONE;
  if (argc < 2 || argv[1] == nullptr) return;
  const char* operation = argc >= 3 ? argv[2] : nullptr;
  auto is = [operation](const char* keyword) {
    return operation != nullptr && IsKeyword(operation, keyword);
  };
  if (IsKeyword(argv[1], "I2C")) {
    if (is("READ") || is("R")) {
      if (argc == 7 && ParseI2cTarget(argv, r)) r.Operation = IO_OPERATION_I2C_READ;
    } else if (is("WRITE") || is("W")) {
      if (argc >= 8 && ParseI2cTarget(argv, r)) {
        r.Operation = IO_OPERATION_I2C_WRITE;
        int values = r.DataSize < kIoMaxLength ? r.DataSize : kIoMaxLength;
        for (int i = 0; i < values; ++i) {
          if (7 + i >= argc || !ParseByte(argv[7 + i], &r.Data[i])) {
            r.Operation = IO_OPERATION_NONE;
            break;
          }
        }
      }
    }
  } else if (IsKeyword(argv[1], "GPIO")) {
    if (is("GET")) {
      if (argc == 3) r.Operation = IO_OPERATION_GPIO_GET;
    } else if (is("SET") || is("SET_DIR")) {
      if (argc == 4 && ParseByte(argv[3], &r.Data[0])) {
        r.Operation = is("SET") ? IO_OPERATION_GPIO_SET : IO_OPERATION_GPIO_SET_DIR;
      }
    }
  }
}

void PrintIoUsage(Console& console) {
  WritePadded(console, "Command Syntax:");
  console.Write("    ZembIoAccess.exe I2C {R/W} {IIC Addr}\t\t\t\t\t\t\t        \n");
  WritePadded(console, "                   {Reg Address size} {Reg Address} {DataSize} {Data}");
  WritePadded(console, "");
  WritePadded(console, "{R/W} :");
  console.Write("    READ (R)        - READ  data.                   \t\t\t\t\t    \n");
  WritePadded(console, "    WRITE (W)       - WRITE data.");
  WritePadded(console, "");
  WritePadded(console, "");
  console.Write("    ZembIoAccess.exe GPIO {SET_DIR/SET/GET} {Data}\t\t\t\t\t        \n");
  WritePadded(console, "");
  WritePadded(console, "{SET_DIR/SET/GET} :");
  console.Write("    SET_DIR         - SET GPIO Direction.                   \t\t\t    \n");
  WritePadded(console, "    SET             - SET GPIO data.");
  WritePadded(console, "    GET             - GET GPIO data.");
  WritePadded(console, "");
  WritePadded(console, "");
  WritePadded(console, "Example:");
  WritePadded(console, "    ZembIoAccess.exe  I2C R 0x78 2 0x0301 1");
  WritePadded(console, "    ZembIoAccess.exe  I2C W 0x78 2 0x1002 2 0xff 0xff");
  WritePadded(console, "    ZembIoAccess.exe  GPIO SET_DIR 0xFF");
  WritePadded(console, "    ZembIoAccess.exe  GPIO SET 0xFF");
  WritePadded(console, "    ZembIoAccess.exe  GPIO GET");
  WritePadded(console, "");
}

int DispatchIoRequest(Console& console, IoAccessTable& table, IoRequest& r) {
  switch (r.Operation) {
    case IO_OPERATION_I2C_READ: {
      if (r.DataSize > kIoMaxLength) r.DataSize = kIoMaxLength;
      int result = table.I2cRead(r.I2cAddress, r.RegAddressSize, r.RegAddress, r.DataSize, r.Data);
      if (result) {
        for (int i = 0; i < r.DataSize; ++i) console.Print("Data[%d]:0x%x \n", i, r.Data[i]);
      }
      return result;
    }
    case IO_OPERATION_I2C_WRITE:
      if (r.DataSize > kIoMaxLength) r.DataSize = kIoMaxLength;
      return table.I2cWrite(r.I2cAddress, r.RegAddressSize, r.RegAddress, r.DataSize, r.Data);
    case IO_OPERATION_GPIO_SET_DIR:
      return table.GpioSetDirection(&r.Data[0]);
    case IO_OPERATION_GPIO_GET: {
      int result = table.GpioGet(&r.Data[0]);
      if (result) console.Print("Data:0x%x \n", r.Data[0]);
      return result;
    }
    case IO_OPERATION_GPIO_SET:
      return table.GpioSet(&r.Data[0]);
    default:
      return 0;
  }
}

int RunIoAccess(int argc, const char* const* argv, Host& host) {
  Console console(host);
  IoRequest request;
  ParseIoArguments(argc, argv, request);
  if (request.Operation == IO_OPERATION_NONE) {
    PrintIoUsage(console);
    return 0;
  }

  // Silent discovery, and no own-driver path: that driver has no IO
  // operations.
  IoSession session(console, BindIoAccessTable);
  switch (session.Open(nullptr, nullptr)) {
    case SessionOpen::NoDevice:
      console.Write(" \tCannot find device for test!!!\n");
      return 0;
    case SessionOpen::InUse:
      ShowToolFail(console, "ZembIoAccess");
      return 0;
    case SessionOpen::Refused:
      ReportRefusedDevice(console, "ZembIoAccess", session.RefusedPath(),
                          RefusedOpenAdvice(host.GetLastError()));
      return 0;
    case SessionOpen::Opened:
      break;
  }
  const int result = DispatchIoRequest(console, session.GetTable(), request);
  ShowBurnResult(console, result != 0, BannerStyle::IoAccess);
  session.Release();
  if (result == 0) ShowToolFail(console, "ZembIoAccess");
  return 0;
}

}  // namespace zemb

// ZembIoAccess: one GPIO or I2C operation on the device per run, through
// its CD-ROM face or its extension unit.
#pragma once

#include <cstdint>

#include "common/base/console.h"
#include "common/device/io_access_table.h"
#include "common/host/host.h"

namespace zemb {

// IoRequest::Operation.
enum IoOperation : uint8_t {
  IO_OPERATION_NONE,  // the command line is not valid
  IO_OPERATION_I2C_READ,
  IO_OPERATION_I2C_WRITE,
  IO_OPERATION_GPIO_SET_DIR,
  IO_OPERATION_GPIO_GET,
  IO_OPERATION_GPIO_SET,
};

struct IoRequest {
  uint8_t Operation = IO_OPERATION_NONE;
  uint8_t I2cAddress = 0;
  uint8_t RegAddressSize = 0;
  uint32_t RegAddress = 0;
  // As given on the command line; lowered to 16 when the operation runs.
  uint8_t DataSize = 0;
  // I2C: the bytes read or to write. GPIO: byte 0 is the value to set or
  // the value got.
  uint8_t Data[kIoMaxLength] = {};
};

// Reads one hexadecimal number ("0x"/"0X" optional, at most 2 * width
// digits, leading zeros included) into `width` bytes (1, 2, 4 or 8) at
// `destination`, in host byte order. Returns non-zero on success; on
// failure the destination is left alone. No digits at all read as 0.
int ParseHexNumber(const char* text, void* destination, uint32_t width);

// Fills `request` from the command line; Operation stays IO_OPERATION_NONE
// when the words do not form a valid command.
void ParseIoArguments(int argc, const char* const* argv, IoRequest& request);

void PrintIoUsage(Console& console);

// Runs the request's operation through the bound table and prints the bytes
// read; returns the operation's result (non-zero = success).
int DispatchIoRequest(Console& console, IoAccessTable& table, IoRequest& request);

// The whole run; always 0, the verdict is in the text.
int RunIoAccess(int argc, const char* const* argv, Host& host);

}  // namespace zemb

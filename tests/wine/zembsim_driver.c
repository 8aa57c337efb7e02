/* Test kernel driver: the Zemb device's own-driver face and its CD-ROM face,
 * as two device objects whose every IRP_MJ_DEVICE_CONTROL goes to the
 * simulated firmware (sim_unit.h). Under Wine the real Windows build of the
 * tools then finds them through SetupAPI and talks to them with
 * DeviceIoControl, exactly as on a machine with the device plugged in.
 *
 * The folder the device state lives in is the "StateFolder" value of the
 * service key. Each open of a device loads that state; each request that
 * changes it saves it before it completes. */
#include <ntddk.h>
#include <ntddscsi.h>

#include "tests/wine/sim_unit.h"

/* The symbolic links are the interfaces' SymbolicLink values in the
 * registry with "\\?\" read as "\??\", so CreateFileA on the path SetupAPI
 * hands out lands here. */
#define OWN_LINK L"\\??\\ROOT#ZEMBSIM#0000#{7141d015-0587-42df-974e-69853664d13f}"
#define CDROM_LINK L"\\??\\ROOT#ZEMBSIM#0001#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"

enum { FACE_OWN = 1, FACE_CDROM = 2 };

typedef struct {
  int face;
} FACE_EXTENSION;

static char g_folder[512];

/* Win32 errors of the firmware as the NTSTATUS a driver completes with;
 * Wine and Windows turn it back into the same error for GetLastError. The
 * ones with a status of their own get it (a port driver refuses a wrong
 * SCSI_PASS_THROUGH Length with STATUS_REVISION_MISMATCH); any other goes
 * as the customer status that carries a Win32 code. */
static NTSTATUS StatusOfError(uint32_t error) {
  switch (error) {
    case 0:
      return STATUS_SUCCESS;
    case 1:
      return STATUS_INVALID_DEVICE_REQUEST;
    case 31:
      return STATUS_UNSUCCESSFUL;
    case 87:
      return STATUS_INVALID_PARAMETER;
    case 1306:
      return STATUS_REVISION_MISMATCH;
    default:
      return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
  }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS WINAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ZembSimUnit* unit;
  (void)device;
  if (stack->FileObject == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  unit = ZembSimUnitOpen(g_folder);
  /* Nothing plugged: the interface is there, the device is not. */
  if (unit == NULL) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  stack->FileObject->FsContext = unit;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  (void)device;
  if (stack->FileObject != NULL && stack->FileObject->FsContext != NULL) {
    ZembSimUnitClose((ZembSimUnit*)stack->FileObject->FsContext);
    stack->FileObject->FsContext = NULL;
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const FACE_EXTENSION* ext = (const FACE_EXTENSION*)device->DeviceExtension;
  ZembSimUnit* unit = stack->FileObject != NULL ? (ZembSimUnit*)stack->FileObject->FsContext : NULL;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint32_t returned = 0;
  uint32_t error;
  if (unit == NULL) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  /* Every code the faces answer is METHOD_BUFFERED: one system buffer holds
   * the request and takes the answer. */
  if ((code & 3) != METHOD_BUFFERED) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (ext->face == FACE_OWN) {
    error = ZembSimUnitOwnIoctl(unit, code, irp->AssociatedIrp.SystemBuffer, inLength, outLength,
                                &returned);
  } else {
    error = ZembSimUnitCdromIoctl(unit, code, irp->AssociatedIrp.SystemBuffer, inLength, outLength,
                                  (uint32_t)sizeof(SCSI_PASS_THROUGH), &returned);
  }
  if (returned > outLength) returned = outLength;
  return Complete(irp, StatusOfError(error), error == 0 ? returned : 0);
}

/* Reads the service key's "StateFolder" (REG_SZ) into g_folder. */
static NTSTATUS ReadStateFolder(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING valueName;
  HANDLE key;
  ULONG size = 0;
  ULONG i, chars;
  NTSTATUS status;
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof g_folder * sizeof(WCHAR)];
  } value;

  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
  status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&valueName, L"StateFolder");
  status =
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &value, sizeof value, &size);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  if (value.info.Type != REG_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
  chars = value.info.DataLength / sizeof(WCHAR);
  if (chars >= sizeof g_folder) return STATUS_NAME_TOO_LONG;
  for (i = 0; i < chars; ++i) {
    WCHAR c = ((const WCHAR*)value.info.Data)[i];
    if (c == 0) break;
    if (c >= 0x80) return STATUS_OBJECT_NAME_INVALID; /* the firmware opens files by ANSI name */
    g_folder[i] = (char)c;
  }
  g_folder[i] = '\0';
  return STATUS_SUCCESS;
}

static NTSTATUS CreateFace(PDRIVER_OBJECT driver, const WCHAR* deviceName, const WCHAR* linkName,
                           DEVICE_TYPE type, int face) {
  UNICODE_STRING name, link;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  RtlInitUnicodeString(&name, deviceName);
  RtlInitUnicodeString(&link, linkName);
  status = IoCreateDevice(driver, sizeof(FACE_EXTENSION), &name, type, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ((FACE_EXTENSION*)device->DeviceExtension)->face = face;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) IoDeleteDevice(device);
  return status;
}

static NTSTATUS DriverStart(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status = ReadStateFolder(registryPath);
  if (!NT_SUCCESS(status)) return status;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  status = CreateFace(driver, L"\\Device\\ZembSimOwn", OWN_LINK, FILE_DEVICE_UNKNOWN, FACE_OWN);
  if (!NT_SUCCESS(status)) return status;
  return CreateFace(driver, L"\\Device\\ZembSimCdRom", CDROM_LINK, FILE_DEVICE_CD_ROM, FACE_CDROM);
}

/* The firmware needs the C runtime, so the image imports msvcrt and Wine
 * first attaches it like a DLL, through the same entry point, before it
 * starts it as a driver. A reason code (0 to 3) in the second argument is a
 * DLL notification for the runtime's own entry, answered with its BOOL; a
 * registry path is the driver start, answered with an NTSTATUS. */
int WINAPI DllMainCRTStartup(HANDLE instance, ULONG reason, PVOID reserved);

LONG WINAPI ZembSimDriverEntry(void* first, void* second, void* third) {
  if ((ULONG_PTR)second <= 3) {
    return DllMainCRTStartup((HANDLE)first, (ULONG)(ULONG_PTR)second, third);
  }
  return DriverStart((PDRIVER_OBJECT)first, (PUNICODE_STRING)second);
}

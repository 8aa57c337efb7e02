/* The simulated device firmware behind a plain C interface, for the test
 * driver and the test capture filter. The driver is built against the DDK
 * headers, which cannot share a translation unit with the C++ standard
 * library, so the firmware (C++) is reached only through these functions.
 *
 * A unit is one open of the device: it loads the state folder zembsim keeps
 * (device.txt, rom.bin), and writes it back after every request that changed
 * the ROM, the IO port or the armed faults, before the request completes, so
 * the next tool run and zembsim see what this one did. Fault counts run over
 * the life of a unit, as they do over one run of the sim builds. */
#ifndef ZEMB_TESTS_WINE_SIM_UNIT_H_
#define ZEMB_TESTS_WINE_SIM_UNIT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZembSimUnit ZembSimUnit;

/* Loads the device kept in `folder` (the ZembSimDevice folder itself). NULL
 * when nothing is plugged there or its state cannot be read. */
ZembSimUnit* ZembSimUnitOpen(const char* folder);
void ZembSimUnitClose(ZembSimUnit* unit);

/* The topology node the extension unit answers on. */
uint32_t ZembSimUnitXuNodeId(const ZembSimUnit* unit);

/* One METHOD_BUFFERED device control: `buffer` holds inLength bytes of
 * request and receives up to outLength bytes of answer. Returns 0 or the
 * Win32 error the request fails with; *returned is the answer's size. */
uint32_t ZembSimUnitOwnIoctl(ZembSimUnit* unit, uint32_t code, void* buffer, uint32_t inLength,
                             uint32_t outLength, uint32_t* returned);
/* The CD-ROM face. `headerLength` is the size of SCSI_PASS_THROUGH of the
 * caller's port driver (56 on x64). */
uint32_t ZembSimUnitCdromIoctl(ZembSimUnit* unit, uint32_t code, void* buffer, uint32_t inLength,
                               uint32_t outLength, uint32_t headerLength, uint32_t* returned);

/* IKsControl::KsProperty on an extension-unit node; returns the HRESULT. */
int32_t ZembSimUnitXuProperty(ZembSimUnit* unit, const void* property, uint32_t propertyLength,
                              void* data, uint32_t dataLength, uint32_t* returned);

#ifdef __cplusplus
}
#endif

#endif

// SPDX-License-Identifier: MIT
/*
 * The converter interface the libraries are built against: calls of the
 * D2XX API with their Linux ABI. libvontrel.so uses nine of them;
 * libvontrel-mains.so (mains/) drives a mains switch's eight lines through
 * FT_SetBitMode, FT_GetBitMode and FT_Write besides. Neither library defines
 * these functions; each takes them at load time from a shared library named
 * libftd2xx.so, which can be the converter maker's D2XX, the project's
 * simulator (d2xx/sim), the project's library over the kernel's tty driver
 * (d2xx/serial) or a test double.
 */
#ifndef VONTREL_D2XX_FTD2XX_H
#define VONTREL_D2XX_FTD2XX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef unsigned char UCHAR;
typedef void *FT_HANDLE;

/* Status codes. Their names and messages for printing are in
 * include/vontrel_status.h. */
#define FT_OK ((FT_STATUS)0)
#define FT_INVALID_HANDLE ((FT_STATUS)1)
#define FT_DEVICE_NOT_FOUND ((FT_STATUS)2)
#define FT_DEVICE_NOT_OPENED ((FT_STATUS)3)
#define FT_IO_ERROR ((FT_STATUS)4)
#define FT_INSUFFICIENT_RESOURCES ((FT_STATUS)5)
#define FT_INVALID_PARAMETER ((FT_STATUS)6)
#define FT_INVALID_BAUD_RATE ((FT_STATUS)7)
#define FT_DEVICE_NOT_OPENED_FOR_ERASE ((FT_STATUS)8)
#define FT_DEVICE_NOT_OPENED_FOR_WRITE ((FT_STATUS)9)
#define FT_FAILED_TO_WRITE_DEVICE ((FT_STATUS)10)
#define FT_EEPROM_READ_FAILED ((FT_STATUS)11)
#define FT_EEPROM_WRITE_FAILED ((FT_STATUS)12)
#define FT_EEPROM_ERASE_FAILED ((FT_STATUS)13)
#define FT_EEPROM_NOT_PRESENT ((FT_STATUS)14)
#define FT_EEPROM_NOT_PROGRAMMED ((FT_STATUS)15)
#define FT_INVALID_ARGS ((FT_STATUS)16)
#define FT_NOT_SUPPORTED ((FT_STATUS)17)
#define FT_OTHER_ERROR ((FT_STATUS)18)
#define FT_DEVICE_LIST_NOT_READY ((FT_STATUS)19)

/* FT_ListDevices flags. */
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_OPEN_BY_SERIAL_NUMBER 1u
#define FT_OPEN_BY_DESCRIPTION 2u

/* FT_SetBitMode modes. */
#define FT_BITMODE_RESET ((UCHAR)0x00)
#define FT_BITMODE_ASYNC_BITBANG ((UCHAR)0x01)

/* FT_SetDataCharacteristics values. */
#define FT_BITS_8 ((UCHAR)8)
#define FT_STOP_BITS_1 ((UCHAR)0)
#define FT_PARITY_NONE ((UCHAR)0)

/* With FT_LIST_NUMBER_ONLY: pArg1 is a DWORD * that receives the number of
 * converters, pArg2 is unused. With FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION:
 * pArg1 carries the enumeration index as its value and pArg2 is a 64-byte
 * buffer that receives the description; with FT_LIST_BY_INDEX |
 * FT_OPEN_BY_SERIAL_NUMBER, the same with the converter's serial string. */
FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags);
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle);
FT_STATUS FT_Close(FT_HANDLE ftHandle);
FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle);
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                    UCHAR Parity);
FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten);
FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned);

/* Bit-bang mode. FT_SetBitMode: ucMask has a bit set for each of the eight
 * data lines that is an output (the others are inputs); ucEnable is the mode,
 * FT_BITMODE_RESET back to the converter's serial function or
 * FT_BITMODE_ASYNC_BITBANG for asynchronous bit-bang, in which each byte
 * FT_Write sends is put on the output lines. FT_GetBitMode: the level of the
 * eight lines now, line 0 in bit 0. */
FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable);
FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, UCHAR *pucMode);

#ifdef __cplusplus
}
#endif

#endif

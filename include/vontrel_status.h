// SPDX-License-Identifier: MIT
/**
 * @file vontrel_status.h
 * @brief The status codes *status holds, by name and in words.
 * @ingroup vontrel_status
 *
 * Names and messages of the converter status codes that libvontrel reports
 * through *status. One table serves everything that prints a status: the
 * command-line tool, the C++ API and the Python package (which checks its own
 * copy against this file in its tests).
 *
 * Header-only; nothing here is exported by libvontrel.so.
 */
#ifndef VONTREL_STATUS_H
#define VONTREL_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

/* X(code, name, message) for every status code a converter library returns.
 * The name is a bare word: #name gives its text, and VONTREL_##name the
 * enumerator below. */
#define VONTREL_STATUS_TABLE(X)                                         \
    X(0, FT_OK, "success")                                              \
    X(1, FT_INVALID_HANDLE, "the handle is not an open unit")           \
    X(2, FT_DEVICE_NOT_FOUND, "the device was not found")               \
    X(3, FT_DEVICE_NOT_OPENED, "the device could not be opened")        \
    X(4, FT_IO_ERROR, "input/output error on the link to the unit")     \
    X(5, FT_INSUFFICIENT_RESOURCES, "insufficient resources")           \
    X(6, FT_INVALID_PARAMETER, "invalid parameter")                     \
    X(7, FT_INVALID_BAUD_RATE, "invalid baud rate")                     \
    X(8, FT_DEVICE_NOT_OPENED_FOR_ERASE, "device not opened for erase") \
    X(9, FT_DEVICE_NOT_OPENED_FOR_WRITE, "device not opened for write") \
    X(10, FT_FAILED_TO_WRITE_DEVICE, "failed to write to the device")   \
    X(11, FT_EEPROM_READ_FAILED, "converter EEPROM read failed")        \
    X(12, FT_EEPROM_WRITE_FAILED, "converter EEPROM write failed")      \
    X(13, FT_EEPROM_ERASE_FAILED, "converter EEPROM erase failed")      \
    X(14, FT_EEPROM_NOT_PRESENT, "converter EEPROM not present")        \
    X(15, FT_EEPROM_NOT_PROGRAMMED, "converter EEPROM not programmed")  \
    X(16, FT_INVALID_ARGS, "invalid arguments")                         \
    X(17, FT_NOT_SUPPORTED, "operation not supported")                  \
    X(18, FT_OTHER_ERROR, "other error")                                \
    X(19, FT_DEVICE_LIST_NOT_READY, "device list not ready")

/** The codes by name, for C and C++ alike: VONTREL_FT_OK, VONTREL_FT_IO_ERROR,
 * ... (the table's names with VONTREL_ before them), each equal to its code. */
#define VONTREL_STATUS_ENUMERATOR(code, name, message) VONTREL_##name = code,
enum vontrel_status_code { VONTREL_STATUS_TABLE(VONTREL_STATUS_ENUMERATOR) };
#undef VONTREL_STATUS_ENUMERATOR

/** The status's name, such as "FT_IO_ERROR", or "FT_UNKNOWN_STATUS" for a code
 * outside the table. The text is static.
 * @param[in] status a status an export stored.
 * @return a static, zero-terminated text.
 * @since 0.1.0 */
static inline const char *vontrel_status_name(unsigned long status)
{
#define VONTREL_STATUS_NAME_CASE(code, name, message) \
    case code:                                        \
        return #name;
    switch (status) {
        VONTREL_STATUS_TABLE(VONTREL_STATUS_NAME_CASE)
        default:
            return "FT_UNKNOWN_STATUS";
    }
#undef VONTREL_STATUS_NAME_CASE
}

/** A short description of the status in plain words. The text is static.
 * @param[in] status a status an export stored.
 * @return a static, zero-terminated text.
 * @since 0.1.0 */
static inline const char *vontrel_status_message(unsigned long status)
{
#define VONTREL_STATUS_MESSAGE_CASE(code, name, message) \
    case code:                                           \
        return message;
    switch (status) {
        VONTREL_STATUS_TABLE(VONTREL_STATUS_MESSAGE_CASE)
        default:
            return "unknown status code";
    }
#undef VONTREL_STATUS_MESSAGE_CASE
}

#ifdef __cplusplus
}
#endif

#endif

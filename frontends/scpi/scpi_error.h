// SPDX-License-Identifier: MIT
// SCPI error numbers the instrument server reports, their standard texts,
// and the exception that carries one from where it is found to the error
// queue. Pure: no I/O.
#ifndef VONTREL_FRONTENDS_SCPI_SCPI_ERROR_H
#define VONTREL_FRONTENDS_SCPI_SCPI_ERROR_H

#include <stdexcept>
#include <string>

#include "service/errors.h"

namespace vontrel::scpi {

// X(name, number, standard text): every error the server reports.
#define VONTREL_SCPI_ERRORS(X)                                     \
    X(kNoError, 0, "No error")                                     \
    X(kCommandError, -100, "Command error")                        \
    X(kInvalidCharacter, -101, "Invalid character")                \
    X(kSyntaxError, -102, "Syntax error")                          \
    X(kInvalidSeparator, -103, "Invalid separator")                \
    X(kDataTypeError, -104, "Data type error")                     \
    X(kParameterNotAllowed, -108, "Parameter not allowed")         \
    X(kMissingParameter, -109, "Missing parameter")                \
    X(kMnemonicTooLong, -112, "Program mnemonic too long")         \
    X(kUndefinedHeader, -113, "Undefined header")                  \
    X(kHeaderSuffixOutOfRange, -114, "Header suffix out of range") \
    X(kInvalidSuffix, -131, "Invalid suffix")                      \
    X(kCharacterDataTooLong, -144, "Character data too long")      \
    X(kSuffixNotAllowed, -138, "Suffix not allowed")               \
    X(kInvalidStringData, -151, "Invalid string data")             \
    X(kExecutionError, -200, "Execution error")                    \
    X(kCommandProtected, -203, "Command protected")                \
    X(kTriggerIgnored, -211, "Trigger ignored")                    \
    X(kInitIgnored, -213, "Init ignored")                          \
    X(kSettingsConflict, -221, "Settings conflict")                \
    X(kDataOutOfRange, -222, "Data out of range")                  \
    X(kTooMuchData, -223, "Too much data")                         \
    X(kIllegalParameterValue, -224, "Illegal parameter value")     \
    X(kHardwareError, -240, "Hardware error")                      \
    X(kHardwareMissing, -241, "Hardware missing")                  \
    X(kSelfTestFailed, -330, "Self-test failed")                   \
    X(kQueueOverflow, -350, "Queue overflow")                      \
    X(kInputBufferOverrun, -363, "Input buffer overrun")           \
    X(kQueryInterrupted, -410, "Query INTERRUPTED")

enum ErrorCode : int {
#define VONTREL_SCPI_ERROR_ENUM(name, number, text) name = (number),
    VONTREL_SCPI_ERRORS(VONTREL_SCPI_ERROR_ENUM)
#undef VONTREL_SCPI_ERROR_ENUM
};

// The standard text of an error number ("Undefined header").
inline const char *StandardText(int code)
{
    switch (code) {
#define VONTREL_SCPI_ERROR_TEXT(name, number, text) \
    case number:                                    \
        return text;
        VONTREL_SCPI_ERRORS(VONTREL_SCPI_ERROR_TEXT)
#undef VONTREL_SCPI_ERROR_TEXT
        default:
            return "Device-specific error";
    }
}

// An error found while parsing or executing a command. `detail` says what
// in particular went wrong; the queue entry reads
// <code>,"<standard text>; <detail>".
class Error : public std::runtime_error {
public:
    Error(int code, const std::string &detail) : std::runtime_error(detail), code_(code) {}
    int code() const { return code_; }
    std::string detail() const { return what(); }

private:
    int code_;
};

// The error number a refusal of the service layer is reported with.
inline int CodeFor(service::Reason reason)
{
    switch (reason) {
        case service::Reason::kValueRefused:
            return kDataOutOfRange;
        case service::Reason::kConflict:
            return kSettingsConflict;
        case service::Reason::kUnitFailed:
            return kHardwareError;
        case service::Reason::kStopped:
            break;
    }
    return kExecutionError;
}

}  // namespace vontrel::scpi

#endif

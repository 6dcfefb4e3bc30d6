// SPDX-License-Identifier: MIT
// The numbers of the VXI-11 protocol: its three RPC programs, their
// procedures, the operation flags, the read's reason bits and the error
// codes a device answers with.
#ifndef VONTREL_FRONTENDS_VXI11_PROTOCOL_H
#define VONTREL_FRONTENDS_VXI11_PROTOCOL_H

#include <cstdint>

namespace vontrel::serve::vxi11 {

inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kAbortProgram = 0x0607B0;
inline constexpr std::uint32_t kInterruptProgram = 0x0607B1;
inline constexpr std::uint32_t kVersion = 1;

enum Procedure : std::uint32_t {
    kDeviceAbort = 1,  // on the abort channel
    kCreateLink = 10,
    kDeviceWrite = 11,
    kDeviceRead = 12,
    kDeviceReadStb = 13,
    kDeviceTrigger = 14,
    kDeviceClear = 15,
    kDeviceRemote = 16,
    kDeviceLocal = 17,
    kDeviceLock = 18,
    kDeviceUnlock = 19,
    kDeviceEnableSrq = 20,
    kDeviceDoCmd = 22,
    kDestroyLink = 23,
    kCreateIntrChan = 25,
    kDestroyIntrChan = 26,
    kDeviceIntrSrq = 30,  // on the interrupt channel, from the server to the client
};

// Device_Flags.
inline constexpr std::uint32_t kFlagWaitLock = 0x01;
inline constexpr std::uint32_t kFlagEnd = 0x08;
inline constexpr std::uint32_t kFlagTermCharSet = 0x80;

// Why a device_read returned.
inline constexpr std::uint32_t kReasonRequestCount = 0x01;
inline constexpr std::uint32_t kReasonTermChar = 0x02;
inline constexpr std::uint32_t kReasonEnd = 0x04;

// Device_ErrorCode.
enum Error : std::uint32_t {
    kNoError = 0,
    kSyntaxError = 1,
    kDeviceNotAccessible = 3,
    kInvalidLink = 4,
    kParameterError = 5,
    kChannelNotEstablished = 6,
    kOperationNotSupported = 8,
    kOutOfResources = 9,
    kDeviceLocked = 11,
    kNoLockHeld = 12,
    kIoTimeout = 15,
    kIoError = 17,
    kInvalidAddress = 21,
    kAbort = 23,
    kChannelAlreadyEstablished = 29,
};

// The handle a client gives device_enable_srq holds at most this much.
inline constexpr std::size_t kMaxSrqHandle = 40;

}  // namespace vontrel::serve::vxi11

#endif

// SPDX-License-Identifier: MIT
// A simulated unit: how it answers command frames, and what its memory holds.
#include <cmath>

#include "d2xx/sim/bench.h"
#include "include/vontrel_limits.h"
#include "include/vontrel_mains.h"
#include "protocol/unit_protocol.h"

namespace vsim {

namespace {

constexpr std::uint8_t kReplyStart = 0x23;  // '#'
constexpr std::uint8_t kReplyEnd = 0x24;    // '$'
constexpr std::uint8_t kLockedByte = 0x01;

Frame Reply(std::uint8_t code, std::uint32_t word)
{
    return Frame{0x00,
                 kReplyStart,
                 code,
                 static_cast<std::uint8_t>(word >> 24),
                 static_cast<std::uint8_t>(word >> 16),
                 static_cast<std::uint8_t>(word >> 8),
                 static_cast<std::uint8_t>(word),
                 kReplyEnd};
}

std::uint32_t Payload(const Frame &f)
{
    return (std::uint32_t{f[3]} << 24) | (std::uint32_t{f[4]} << 16) | (std::uint32_t{f[5]} << 8) |
           std::uint32_t{f[6]};
}

double DecodedFrequencyMHz(const Registers &r)
{
    const double divider = (r[1] >> 5) & 0x1FFF;
    const double doubler = (r[2] >> 21) & 0x3;
    const double integer = (r[2] >> 5) & 0xFFFF;
    const double fraction = (r[3] >> 5) & 0x1FFFFFF;
    const double out_div = (r[6] >> 24) & 0x3;
    if (divider == 0) {
        return 0;
    }
    return 10.0 * std::pow(2.0, doubler) / divider * (integer + fraction / 33554432.0) /
           std::pow(2.0, out_div);
}

}  // namespace

bool IsLocked(const Converter &unit)
{
    const double f = DecodedFrequencyMHz(unit.registers);
    return unit.locks && unit.programmed && f >= VONTREL_FREQ_MIN_MHZ && f <= VONTREL_FREQ_MAX_MHZ;
}

bool IsFrame(const Frame &bytes)
{
    return bytes[0] == 0x00 && bytes[1] == 0x21 && bytes[7] == 0x40;
}

std::optional<Frame> Answer(Converter &unit, const Frame &command)
{
    if (!unit.is_unit || !IsFrame(command)) {
        return std::nullopt;  // a unit ignores anything that is not a frame
    }
    if (!unit.powered || unit.hung ||
        (unit.answers_from_ms != 0 && NowMs() < unit.answers_from_ms)) {
        return std::nullopt;  // switched off at its mains outlet, hung, or still booting
    }
    const std::uint8_t code = command[2];
    const std::uint32_t payload = Payload(command);
    const unsigned address = command[3] | (unsigned{command[4]} << 8);
    switch (code) {
        case 0x00: {  // register read-back, registers 1..7
            const unsigned index = command[3];
            return Reply(code, index >= 1 && index <= 7 ? unit.registers[index] : 0);
        }
        case 0x0A:  // register 0 write
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07:
            unit.registers[code == 0x0A ? 0 : code] = payload;
            unit.programmed = true;
            return Reply(code, payload);
        case 0x0B: {  // register 0 read-back; the low byte carries lock detect
            const std::uint32_t word =
                (unit.registers[0] & 0xFFFFFF00u) | (IsLocked(unit) ? kLockedByte : 0x00);
            return Reply(code, word);
        }
        case 0x0C:  // memory write
            if (address < unit.memory.size()) {
                unit.memory[address] = command[5];
            }
            return Reply(code, payload);
        case 0x0D: {  // memory read: the value in byte 5
            const std::uint8_t value = address < unit.memory.size() ? unit.memory[address] : 0xFF;
            return Reply(code, (payload & 0xFFFF0000u) | (std::uint32_t{value} << 8));
        }
        case 0x0E:  // save user preset
            unit.user_preset = unit.registers;
            return Reply(code, 0);
        case 0xFF:  // preset
            unit.registers = unit.user_preset ? *unit.user_preset : kPowerUpRegisters;
            unit.programmed = true;
            return Reply(code, 0);
        default:
            return std::nullopt;
    }
}

void FillUnitMemory(Converter &unit, std::uint16_t serial)
{
    auto &m = unit.memory;
    m.fill(0xFF);
    const int variant = serial % 7;
    m[0] = static_cast<std::uint8_t>(serial & 0xFF);
    m[1] = static_cast<std::uint8_t>(serial >> 8);
    m[2] = static_cast<std::uint8_t>(variant % 4 + 3);  // firmware 2.3 .. 2.6
    m[3] = 2;
    m[4] = static_cast<std::uint8_t>(variant + 3);  // calibration date
    m[5] = static_cast<std::uint8_t>(variant * 4 + 1);
    m[6] = static_cast<std::uint8_t>(20 + variant % 5);
    m[7] = static_cast<std::uint8_t>(variant % 3);  // hardware revision A..C
    m[8] = 60;                                      // IF band, 60 to 80 MHz
    m[9] = 80;
    namespace mem = vontrel::mem;
    m[mem::kStoredSetting] = 0;
    m[mem::kLastTrimA] = 0;
    m[mem::kLastTrimB] = 0;
    constexpr int last = mem::kTableEntries - 1;
    for (int k = 0; k <= last; ++k) {
        // Trims drift smoothly over the band; the level reference falls with
        // frequency, as an output stage's gain does.
        m[mem::kTableA + k] = static_cast<std::uint8_t>(150 + k * 40 / last + variant);
        m[mem::kTableB + k] = static_cast<std::uint8_t>(70 + k * 30 / last + variant);
        m[mem::kTableC + k] = static_cast<std::uint8_t>(110 - k * 24 / last - variant);
        m[mem::kTableD + k] = static_cast<std::uint8_t>(8 + k * 6 / last);
    }
}

void LoadDefaultBench(Bench &bench)
{
    bench.converters.clear();
    Converter first;
    first.description = "Vontrel Synthesizer";
    first.is_unit = true;
    FillUnitMemory(first, 4660);
    bench.converters.push_back(first);

    Converter other;
    other.description = "USB <-> Serial Cable";
    bench.converters.push_back(other);

    Converter second;
    second.description = "Vontrel Synthesizer";
    second.is_unit = true;
    FillUnitMemory(second, 12345);
    bench.converters.push_back(second);

    Converter mains;
    mains.description = VONTREL_MAINS_DEFAULT_DESCRIPTION;
    mains.serial_number = "MS0001";
    mains.mains.emplace();
    mains.mains->powers[0] = {4660};
    mains.mains->powers[1] = {12345};
    bench.converters.push_back(mains);
    for (std::size_t id = 0; id < bench.converters.size(); ++id) {
        Converter &c = bench.converters[id];
        if (c.serial_number.empty()) {
            c.serial_number = DefaultSerialNumber(c, id);
        }
    }
    ApplyPower(bench, true);
    bench.initialised = true;
}

}  // namespace vsim

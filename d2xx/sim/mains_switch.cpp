// SPDX-License-Identifier: MIT
// Mains switches on the simulated bench: eight lines that, in bit-bang
// mode, switch eight outlets, and the units those outlets power. A unit
// whose outlet goes off stops answering (or leaves the USB bus, as its
// switch is described) and forgets its settings; when the outlet comes on
// again it answers after the switch's boot time, at its power-up settings.
// The lines and the units' power are kept in the state file like the rest
// of the units' state, so every process sees one switch.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "d2xx/sim/bench.h"

namespace vsim {
namespace {

using Json = nlohmann::json;

std::uint16_t UnitSerial(const Converter &unit)
{
    return static_cast<std::uint16_t>(unit.memory[0] | (unit.memory[1] << 8));
}

Converter *Switch(Bench &bench, int id)
{
    if (!EnsureBench(bench) || id < 0 || static_cast<std::size_t>(id) >= bench.converters.size() ||
        !bench.converters[id].mains) {
        return nullptr;
    }
    return &bench.converters[id];
}

std::uint64_t Number(const Json &v, std::uint64_t max, const char *what)
{
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > max) {
        throw std::invalid_argument(std::string(what) + " is not a whole number from 0 to " +
                                    std::to_string(max));
    }
    return v.get<std::uint64_t>();
}

}  // namespace

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool HasMains(const Bench &bench)
{
    return std::any_of(bench.converters.begin(), bench.converters.end(),
                       [](const Converter &c) { return c.mains.has_value(); });
}

void ApplyPower(Bench &bench, bool initial)
{
    for (std::size_t id = 0; id < bench.converters.size(); ++id) {
        Converter &unit = bench.converters[id];
        if (!unit.is_unit) {
            continue;
        }
        const std::uint16_t serial = UnitSerial(unit);
        bool fed = true;
        bool vanishes = false;
        std::chrono::milliseconds boot{0};
        for (const Converter &c : bench.converters) {
            if (!c.mains) {
                continue;
            }
            for (int outlet = 0; outlet < kOutlets; ++outlet) {
                const auto &powered = c.mains->powers[outlet];
                if (std::find(powered.begin(), powered.end(), serial) == powered.end()) {
                    continue;
                }
                vanishes = vanishes || c.mains->vanish;
                boot = std::max(boot, c.mains->boot);
                fed = fed && ((c.mains->lines >> outlet) & 1) != 0;
            }
        }
        unit.vanishes = vanishes;
        if (fed == unit.powered) {
            continue;
        }
        unit.powered = fed;
        if (initial) {
            unit.answers_from_ms = 0;
            continue;
        }
        if (fed) {
            unit.answers_from_ms = NowMs() + boot.count();
            continue;
        }
        // Power gone: what the unit was about to send is lost with it, and
        // it comes back at its power-up settings.
        unit.registers = kPowerUpRegisters;
        unit.programmed = false;
        unit.hung = false;
        for (auto &[value, handle] : bench.handles) {
            if (handle->converter == static_cast<int>(id)) {
                handle->pending.clear();
            }
        }
        if (vanishes) {
            ++unit.generation;  // handles open on it stay dead when it comes back
        }
    }
}

void WriteLines(Bench &bench, Converter &mains, std::uint8_t byte)
{
    MainsSwitch &m = *mains.mains;
    const auto lines = static_cast<std::uint8_t>((m.lines & ~m.outputs) | (byte & m.outputs));
    m.line_changes += std::popcount(static_cast<unsigned>(lines ^ m.lines));
    m.lines = lines;
    ApplyPower(bench);
}

std::string DefaultSerialNumber(const Converter &c, std::size_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, c.mains ? "MS%04zu" : "SIM%04zu", id);
    return text;
}

Json SerialiseMains(const Bench &bench)
{
    Json switches = Json::array();
    for (std::size_t id = 0; id < bench.converters.size(); ++id) {
        if (const auto &m = bench.converters[id].mains) {
            switches.push_back(Json{{"id", id},
                                    {"lines", m->lines},
                                    {"bitbang", m->bitbang},
                                    {"outputs", m->outputs},
                                    {"line_changes", m->line_changes}});
        }
    }
    return switches;
}

void ApplyMainsState(std::vector<Converter> &converters, const Json &state)
{
    if (!state.contains("switches")) {
        return;  // written before the bench had switches: they are as described
    }
    for (const Json &s : state.at("switches")) {
        const auto id = s.at("id").get<std::size_t>();
        if (id >= converters.size() || !converters[id].mains) {
            throw std::invalid_argument("switch " + std::to_string(id) + " is not on the bench");
        }
        MainsSwitch &m = *converters[id].mains;
        m.lines = static_cast<std::uint8_t>(Number(s.at("lines"), 255, "a switch's lines"));
        m.bitbang = s.at("bitbang").get<bool>();
        m.outputs = static_cast<std::uint8_t>(Number(s.at("outputs"), 255, "a switch's outputs"));
        m.line_changes = s.at("line_changes").get<long>();
    }
}

Json SerialisePower(const Converter &unit)
{
    return Json{{"powered", unit.powered},
                {"answers_from_ms", unit.answers_from_ms},
                {"generation", unit.generation},
                {"hung", unit.hung}};
}

void ApplyPowerState(Converter &unit, const Json &u)
{
    if (!u.contains("power")) {
        return;
    }
    const Json &p = u.at("power");
    unit.powered = p.at("powered").get<bool>();
    unit.answers_from_ms = p.at("answers_from_ms").get<std::int64_t>();
    unit.generation = p.at("generation").get<std::uint32_t>();
    unit.hung = p.value("hung", false);
}

}  // namespace vsim

using vsim::Locked;

extern "C" {

int vsim_add_mains_switch(const char *description, const char *serial)
{
    Locked bench;
    if (!bench->initialised) {
        bench->initialised = true;  // an explicitly built bench starts empty
        bench->persistent = false;
    }
    vsim::Converter c;
    c.description = description != nullptr ? description : "";
    c.mains.emplace();
    c.serial_number = serial != nullptr && *serial != '\0'
                          ? serial
                          : vsim::DefaultSerialNumber(c, bench->converters.size());
    bench->converters.push_back(std::move(c));
    return static_cast<int>(bench->converters.size() - 1);
}

void vsim_mains_power(int id, int outlet, uint16_t unit_serial)
{
    Locked bench;
    vsim::Converter *c = vsim::Switch(*bench, id);
    if (c != nullptr && outlet >= 1 && outlet <= vsim::kOutlets) {
        c->mains->powers[outlet - 1].push_back(unit_serial);
        vsim::ApplyPower(*bench, true);
    }
}

void vsim_mains_set_unpowered(int id, int vanish, unsigned long boot_ms)
{
    Locked bench;
    if (vsim::Converter *c = vsim::Switch(*bench, id)) {
        c->mains->vanish = vanish != 0;
        c->mains->boot = std::chrono::milliseconds(std::min<unsigned long>(boot_ms, 600'000));
        vsim::ApplyPower(*bench, true);
    }
}

void vsim_mains_set_lines(int id, uint8_t lines)
{
    Locked bench;
    vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Switch(*bench, id) : nullptr;
    if (c != nullptr) {
        c->mains->lines = lines;
        vsim::ApplyPower(*bench);
        session.Commit();
    }
}

int vsim_mains_lines(int id)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Switch(*bench, id) : nullptr;
    return c != nullptr ? c->mains->lines : -1;
}

int vsim_mains_bitbang(int id)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Switch(*bench, id) : nullptr;
    return c != nullptr ? (c->mains->bitbang ? 1 : 0) : -1;
}

long vsim_mains_line_changes(int id)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Switch(*bench, id) : nullptr;
    return c != nullptr ? c->mains->line_changes : -1;
}

void vsim_hang_unit(int id)
{
    Locked bench;
    vsim::StateSession session(*bench);
    if (session.ok() && vsim::EnsureBench(*bench) && id >= 0 &&
        static_cast<std::size_t>(id) < bench->converters.size() && bench->converters[id].is_unit) {
        bench->converters[id].hung = true;
        session.Commit();
    }
}

int vsim_unit_power(int id)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    if (!session.ok() || !vsim::EnsureBench(*bench) || id < 0 ||
        static_cast<std::size_t>(id) >= bench->converters.size() ||
        !bench->converters[id].is_unit) {
        return -1;
    }
    const vsim::Converter &unit = bench->converters[id];
    if (!unit.powered) {
        return VSIM_POWER_OFF;
    }
    return vsim::NowMs() < unit.answers_from_ms ? VSIM_POWER_BOOTING : VSIM_POWER_ON;
}

}  // extern "C"

// SPDX-License-Identifier: MIT
// The mains switches a server holds open (libvontrel-mains), found by their
// description and known by their serial strings: the one way the server's
// front ends and its units' power reach the outlets. A switch is open in
// one process at a time, so the server holds each for as long as it runs;
// one that fails is closed and opened again, by its serial, when next
// needed, the looks for it spaced out as a lost unit's are.
#ifndef VONTREL_SERVICE_MAINS_SWITCHES_H
#define VONTREL_SERVICE_MAINS_SWITCHES_H

#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "include/vontrel_mains.hpp"
#include "service/mains_power.h"
#include "service/unit_owner.h"

namespace vontrel::service {

// The description switches are found by: `given` when not empty, else
// $VONTREL_MAINS_DESCRIPTION, else VONTREL_MAINS_DEFAULT_DESCRIPTION.
std::string MainsDescription(const std::string &given = {});

class MainsSwitches : public MainsPower {
public:
    // Finds the switches attached whose description begins with
    // `description` (see MainsDescription) and opens each; `only`, when not
    // empty, keeps those serials alone, in its order, attached or not. A
    // switch that does not open now (another program has it) is opened
    // when next needed. Logs what it finds; throws nothing for a switch.
    MainsSwitches(const std::string &description, Log log, std::vector<std::string> only = {});
    ~MainsSwitches() override;
    MainsSwitches(const MainsSwitches &) = delete;
    MainsSwitches &operator=(const MainsSwitches &) = delete;

    // The switches' serials, in enumeration order.
    std::vector<std::string> serials() const;

    bool IsOn(const PowerOutlet &outlet) override;
    void Set(const PowerOutlet &outlet, bool on) override;
    std::string Resolve(const std::string &switch_serial) override;

    // The eight outlets of switch `serial`: bit n-1 is outlet n. Throws as
    // IsOn does.
    std::bitset<kMainsOutlets> Outlets(const std::string &serial);

    // Why switch `serial` cannot be used now ("in use by another
    // program"), "" while it is open.
    std::string Problem(const std::string &serial);

    // How many times an outlet was switched so far, and a wait of up to
    // `timeout` for it to pass `seen`.
    std::uint64_t changes();
    std::uint64_t WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout);

private:
    struct Entry;
    Entry &Find(const std::string &serial);
    template <typename F>
    decltype(auto) OnSwitch(Entry &e, F &&f);

    const std::string description_;
    const Log log_;
    std::vector<std::unique_ptr<Entry>> switches_;

    std::mutex changes_mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
};

}  // namespace vontrel::service

#endif

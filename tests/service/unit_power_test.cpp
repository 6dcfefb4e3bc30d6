// SPDX-License-Identifier: MIT
// A unit switched off and on at its mains outlet through the service layer,
// on the simulated bench in process: the settings it comes back with, the
// session lock and the sweep that keep an outlet from being switched, a
// switch that fails, a unit that does not come back, and the revival of a
// unit that hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "service/errors.h"
#include "service/mains_switches.h"
#include "service/unit_power.h"

namespace {

using vontrel::service::MainsSwitches;
using vontrel::service::PowerControl;
using vontrel::service::Reason;
using vontrel::service::Refusal;
using vontrel::service::UnitOwner;

constexpr unsigned long kOtherError = 18;

// Waits up to `seconds` for `done`.
template <typename Done>
bool Eventually(Done &&done, int seconds = 20)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Unit 4660 on outlet 1 of MS0001, its entry saying so; the log kept.
class UnitPower : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        unit_ = vsim_add_unit("Vontrel Synthesizer", 4660);
        switch_ = vsim_add_mains_switch("Mains Switch", "MS0001");
        vsim_mains_power(switch_, 1, 4660);
        vsim_mains_set_unpowered(switch_, 0, 30);
        mains_.emplace("", Logger());
        Start(R"({"units": {"4660": {"output_off": "mains",
                                     "power": {"outlet": 1, "boot_s": 10}}}})");
    }
    void TearDown() override
    {
        power_.reset();
        owner_.reset();
        mains_.reset();
    }

    void Start(const std::string &units)
    {
        power_.reset();
        owner_.reset();
        vontrel::Discovery found = vontrel::discover();
        ASSERT_EQ(found.units.size(), 1U);
        owner_.emplace(std::move(found.units.front()), Logger());
        power_.emplace(*mains_, vontrel::service::ParseUnitsFile(units, "units.json"), Logger());
        power_->Add(*owner_);
    }

    vontrel::service::Log Logger()
    {
        return [this](const std::string &line) {
            const std::lock_guard<std::mutex> lock(log_mutex_);
            log_ += line + "\n";
        };
    }
    bool Logged(const std::string &words)
    {
        const std::lock_guard<std::mutex> lock(log_mutex_);
        return log_.find(words) != std::string::npos;
    }

    double Frequency()
    {
        UnitOwner::Access access(*owner_);
        return access.Call([](vontrel::Unit &u) { return u.status().frequency_mhz; });
    }

    int unit_ = -1;
    int switch_ = -1;
    std::mutex log_mutex_;
    std::string log_;
    std::optional<MainsSwitches> mains_;
    std::optional<UnitOwner> owner_;
    std::optional<PowerControl> power_;
};

TEST_F(UnitPower, OffAndOnBringTheUnitBackWithItsSettings)
{
    {
        UnitOwner::Access access(*owner_);
        access.Call([](vontrel::Unit &u) {
            vontrel::Settings s = u.status();
            s.frequency_mhz = 2455.0;
            u.apply(s);
        });
        EXPECT_TRUE(power_->IsOn(4660));
        power_->Off(access);
        EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_OFF);
        EXPECT_FALSE(power_->IsOn(4660));
        try {
            access.Call([](vontrel::Unit &u) { return u.locked(); });
            ADD_FAILURE() << "a unit switched off was reached";
        } catch (const Refusal &e) {
            EXPECT_EQ(e.reason(), Reason::kUnitFailed);
            EXPECT_NE(std::string(e.what()).find("switched off at outlet 1 of mains switch MS0001"),
                      std::string::npos)
                << e.what();
        }
        power_->On(access);
    }
    EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_ON);
    EXPECT_EQ(Frequency(), 2455.0);
    EXPECT_TRUE(Logged("its settings are back"));

    // A cycle, and an outlet switched as such: the same.
    {
        UnitOwner::Access access(*owner_);
        power_->Cycle(access, std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Frequency(), 2455.0);
    power_->SetOutlet({"", 1}, false, vontrel::service::NewSessionId());
    EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_OFF);
    power_->SetOutlet({"MS0001", 1}, true, vontrel::service::NewSessionId());
    EXPECT_EQ(Frequency(), 2455.0);
}

TEST_F(UnitPower, AnOutletIsNotSwitchedUnderAnotherSessionsLockOrSweep)
{
    const auto mine = vontrel::service::NewSessionId();
    const auto theirs = vontrel::service::NewSessionId();
    ASSERT_TRUE(owner_->session_lock().TryLock(theirs, "another client"));
    try {
        power_->SetOutlet({"", 1}, false, mine);
        ADD_FAILURE() << "switched under another session's lock";
    } catch (const Refusal &e) {
        EXPECT_EQ(e.reason(), Reason::kConflict);
        EXPECT_NE(std::string(e.what()).find("locked by another client"), std::string::npos);
    }
    EXPECT_EQ(vsim_mains_lines(switch_), 0xFF);
    power_->SetOutlet({"", 3}, false, mine);  // powers no unit: switched as such
    EXPECT_EQ(vsim_mains_lines(switch_), 0xFB);
    owner_->session_lock().Unlock(theirs);
    {
        UnitOwner::Access access(*owner_);
        access.set_sweeper(theirs);
    }
    EXPECT_THROW(power_->SetOutlet({"", 1}, false, mine), Refusal);
    {
        UnitOwner::Access access(*owner_);
        access.set_sweeper(vontrel::service::kNoSweep);
    }
    EXPECT_THROW(power_->SetOutlet({"MS0009", 1}, false, mine), Refusal);
    EXPECT_EQ(vsim_mains_lines(switch_), 0xFB);
}

TEST_F(UnitPower, ASwitchThatFailsLeavesTheUnitOnAndReachable)
{
    UnitOwner::Access access(*owner_);
    vsim_fail_call("FT_GetBitMode", 1, kOtherError);
    EXPECT_THROW(power_->Off(access), std::system_error);
    EXPECT_FALSE(access.powered_off());
    EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_ON);
    EXPECT_NO_THROW(access.Call([](vontrel::Unit &u) { return u.locked(); }));
    // The switch failed once: it is opened again when next needed.
    EXPECT_TRUE(Eventually([&] {
        try {
            return power_->IsOn(4660);
        } catch (const std::system_error &) {
            return false;
        }
    }));
}

TEST_F(UnitPower, AUnitWithoutAnOutletOrThatDoesNotComeBackIsRefused)
{
    Start(R"({"units": {"4660": {}}})");
    {
        UnitOwner::Access access(*owner_);
        EXPECT_FALSE(power_->SwitchesOutput(4660));
        try {
            power_->Off(access);
            ADD_FAILURE() << "switched off a unit with no outlet";
        } catch (const Refusal &e) {
            EXPECT_EQ(e.reason(), Reason::kValueRefused);
        }
    }
    EXPECT_EQ(vsim_mains_lines(switch_), 0xFF);

    Start(R"({"units": {"4660": {"power": {"outlet": 1, "boot_s": 0.3}}}})");
    vsim_mains_set_unpowered(switch_, 1, 600000);  // it leaves the bus and takes long
    UnitOwner::Access access(*owner_);
    power_->Off(access);
    try {
        power_->On(access);
        ADD_FAILURE() << "a unit still booting was taken for one that answers";
    } catch (const Refusal &e) {
        EXPECT_EQ(e.reason(), Reason::kUnitFailed);
        EXPECT_NE(std::string(e.what()).find("did not answer within 0.3 s"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(power_->IsOn(4660)) << "the outlet was switched off again";
}

TEST_F(UnitPower, AHungUnitIsPowerCycledAtMostAsOftenAsAllowed)
{
    {
        UnitOwner::Access access(*owner_);
        access.Call([](vontrel::Unit &u) {
            vontrel::Settings s = u.status();
            s.frequency_mhz = 1500.0;
            u.apply(s);
        });
    }
    // Once the revival has looked at the unit (a read of its settings is
    // more than ten exchanges), it hangs. Each look at a hung unit waits
    // for the link's time-out.
    const long calls = vsim_call_count();
    power_->StartRevival(1, std::chrono::milliseconds(20), std::chrono::milliseconds(20));
    ASSERT_TRUE(Eventually([&] { return vsim_call_count() > calls + 30; }));
    vsim_hang_unit(unit_);
    ASSERT_TRUE(Eventually([&] { return Logged("its settings are back"); }, 90)) << log_;
    EXPECT_TRUE(Logged("has stopped answering; power-cycling it (1 of at most 1 this hour)"));
    EXPECT_EQ(Frequency(), 1500.0);

    vsim_hang_unit(unit_);
    ASSERT_TRUE(
        Eventually([&] { return Logged("not power-cycled: 1 cycles in the last hour"); }, 90))
        << log_;
}

}  // namespace

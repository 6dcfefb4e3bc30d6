// SPDX-License-Identifier: MIT
// The lock poll: one thread per device reads lock detect (one exchange)
// every LockPollPeriod seconds, and at once after each change the device
// makes, sets the state from it (ON locked, ALARM not, FAULT no answer) and
// pushes change events for Locked and State when they changed. After a list sweep it
// also reads the settings the sweep left and pushes them.
#include <chrono>

#include "tools/tango/device.h"
#include "tools/tango/device_monitor.h"

namespace vontrel::tango {

void Synthesizer::StartLockPoll()
{
    {
        const std::lock_guard<std::mutex> lock(poll_mutex_);
        poll_stop_ = false;
        poll_now_ = false;
        refresh_settings_ = false;
    }
    last_locked_.reset();
    last_state_.reset();
    poll_thread_ = std::thread([this] { LockPoll(); });
}

void Synthesizer::StopLockPoll()
{
    {
        const std::lock_guard<std::mutex> lock(poll_mutex_);
        poll_stop_ = true;
    }
    poll_wake_.notify_all();
    if (poll_thread_.joinable()) {
        poll_thread_.join();
    }
}

void Synthesizer::WakeLockPoll(bool refresh_settings)
{
    {
        const std::lock_guard<std::mutex> lock(poll_mutex_);
        poll_now_ = true;
        refresh_settings_ = refresh_settings_ || refresh_settings;
    }
    poll_wake_.notify_all();
}

void Synthesizer::LockPoll()
{
    // Tango's device monitor knows threads by their omni_thread.
    omni_thread::ensure_self self;
    std::unique_lock<std::mutex> lock(poll_mutex_);
    for (;;) {
        const auto woken = [&] { return poll_stop_ || poll_now_; };
        if (lock_poll_s_ > 0) {
            poll_wake_.wait_for(lock, std::chrono::duration<double>(lock_poll_s_), woken);
        } else {
            poll_wake_.wait(lock, woken);
        }
        if (poll_stop_) {
            return;
        }
        poll_now_ = false;
        const bool refresh = std::exchange(refresh_settings_, false);
        lock.unlock();

        std::optional<bool> locked;
        std::optional<vontrel::Status> settings;
        try {
            vontrel::service::UnitOwner::Access access(*owner_);
            access.Call([&](vontrel::Unit &unit) {
                if (refresh) {
                    settings = unit.status();
                }
                locked = unit.locked();
            });
        } catch (const std::system_error &e) {
            SetHealth(Health::kFault, e.what());
        }
        if (locked) {
            SetHealth(*locked ? Health::kOn : Health::kAlarm, "");
        }
        Tango::DevState state = StateNow();
        const bool state_changed = state != last_state_;
        if (settings || (locked && locked != last_locked_) || state_changed) {
            try {
                // Events are pushed under the device's monitor, as Tango's
                // own calls on it are (the server keeps Tango's default
                // serialisation, by device).
                const DeviceMonitor sync(get_dev_monitor());
                if (settings) {
                    values().Set(*settings);
                    PushSettings();
                }
                if (locked && locked != last_locked_) {
                    values().locked = *locked;
                    PushLocked();
                    last_locked_ = locked;
                }
                if (state_changed) {
                    set_state(state);  // what Tango sends for the State attribute
                    push_change_event("State", &state);
                    last_state_ = state;
                }
            } catch (const Tango::DevFailed &) {
                // The device was busy past the monitor's time-out (it is being
                // shut down): the next round pushes what changed.
            }
        }
        lock.lock();
    }
}

}  // namespace vontrel::tango

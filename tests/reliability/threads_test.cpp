// SPDX-License-Identifier: MIT
// Eight threads each drive their own simulated unit through a mixed script
// of calls while another thread keeps opening and closing further units.
// Every unit must see exactly the frames of a single-threaded run of its
// script, in order, and the table of open units must stay consistent.
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "link/handle_table.h"
#include "tests/reliability/call_log.h"

namespace reliability {
namespace {

constexpr int kWorkers = 8;
constexpr int kSpares = 2;  // opened and closed over and over meanwhile
constexpr int kSteps = 1200;

std::uint16_t Serial(int unit)
{
    return static_cast<std::uint16_t>(0x5000 + unit);
}

// Builds the bench, opens every unit and closes the spares again. Returns
// the workers' tokens.
std::vector<int> OpenWorkers()
{
    vsim_clear();
    for (int u = 0; u < kWorkers + kSpares; ++u) {
        vsim_add_unit("Vontrel", Serial(u));
    }
    std::vector<int> tokens = OpenAll(kWorkers + kSpares);
    for (int u = kWorkers; u < kWorkers + kSpares; ++u) {
        Vontrel_Close(AsHandle(tokens[u]));
    }
    tokens.resize(kWorkers);
    vsim_clear_log();
    return tokens;
}

// One worker's script. Every answer it gets must come from its own unit;
// returns a description of the first one that did not, or "".
std::string Script(int w, void *handle)
{
    unsigned long status = 0;
    for (int i = 0; i < kSteps; ++i) {
        const double trim_a = w + 1;
        switch (i % 6) {
            case 0: {
                double values[12] = {trim_a,
                                     double(i % 256),
                                     300.0 + (w * 577 + i * 13) % 4700,
                                     0,
                                     double(i % 64),
                                     double(i % 4),
                                     1,
                                     0,
                                     0,
                                     double(i % 5),
                                     0,
                                     0};
                Vontrel_WriteStatus(&status, handle, values);
                break;
            }
            case 1: {
                double values[VONTREL_READ_STATUS_ENTRIES] = {};
                Vontrel_ReadStatus(&status, handle, values);
                if (values[0] != trim_a) {
                    return "trim A " + std::to_string(values[0]) + " read back";
                }
                break;
            }
            case 2: {
                int ld = -1;
                Vontrel_ReadLD(&status, handle, &ld);
                if (ld != 1) {
                    return "not locked";
                }
                break;
            }
            case 3: {
                int sn = 0;
                char frev[VONTREL_FREV_SIZE], hrev[1], cal[VONTREL_CALDATE_SIZE],
                    ifb[VONTREL_IFBAND_SIZE];
                Vontrel_ReadInfo(&status, handle, &sn, frev, hrev, cal, ifb);
                if (sn != Serial(w)) {
                    return "serial number " + std::to_string(sn);
                }
                break;
            }
            case 4:
                Vontrel_SaveUserPreset(&status, handle);
                break;
            default:
                Vontrel_Preset(&status, handle);
                break;
        }
        if (status != FT_OK) {
            return "status " + std::to_string(status) + " at step " + std::to_string(i);
        }
    }
    return "";
}

// The frames written to each converter, in order.
std::map<int, std::vector<std::string>> FramesByConverter()
{
    std::map<int, std::vector<std::string>> frames;
    for (const vsim_call &c : SimLog()) {
        if (std::string(c.function) == "FT_Write") {
            frames[c.converter].push_back(Describe(c));
        }
    }
    return frames;
}

TEST(Threads, EachUnitSeesOnlyItsOwnFramesInOrder)
{
    // Every frame of every thread is compared: keep them all.
    vsim_set_log_capacity(0);
    // Reference: the scripts one after another on one thread.
    std::vector<int> tokens = OpenWorkers();
    for (int w = 0; w < kWorkers; ++w) {
        ASSERT_EQ(Script(w, AsHandle(tokens[w])), "") << "worker " << w;
    }
    const auto reference = FramesByConverter();
    for (int token : tokens) {
        Vontrel_Close(AsHandle(token));
    }

    tokens = OpenWorkers();
    const std::set<int> live(tokens.begin(), tokens.end());
    std::vector<std::string> failures(kWorkers);
    std::atomic<int> running{kWorkers};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            failures[w] = Script(w, AsHandle(tokens[w]));
            --running;
        });
    }
    int cycles = 0;
    std::string opener_failure;
    std::thread opener([&] {
        while (running > 0 || cycles < 50) {
            unsigned long status = 0;
            int found = 0;
            std::vector<int> handles(kWorkers + kSpares, 0), serials(kWorkers + kSpares, 0);
            if (Vontrel_Open(&status, &found, handles.data(), serials.data()) != 0 ||
                found != kWorkers + kSpares) {
                opener_failure = "open failed";
                return;
            }
            for (int u = 0; u < kWorkers + kSpares; ++u) {
                const bool spare = u >= kWorkers;
                if ((handles[u] != 0) != spare || live.count(handles[u]) != 0 ||
                    (spare && serials[u] != Serial(u))) {
                    opener_failure =
                        "entry " + std::to_string(u) + " of cycle " + std::to_string(cycles);
                }
                if (spare && Vontrel_Close(AsHandle(handles[u])) != 0) {
                    opener_failure = "close failed";
                }
            }
            ++cycles;
        }
    });
    for (std::thread &t : workers) {
        t.join();
    }
    opener.join();

    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(failures[w], "") << "worker " << w;
    }
    EXPECT_EQ(opener_failure, "");
    const auto frames = FramesByConverter();
    for (int w = 0; w < kWorkers; ++w) {
        ASSERT_EQ(frames.count(w), 1u);
        EXPECT_TRUE(frames.at(w) == reference.at(w)) << "unit " << w << " saw other frames";
    }
    for (int token : tokens) {
        EXPECT_EQ(Vontrel_Close(AsHandle(token)), 0);
    }
    EXPECT_EQ(vontrel::HandleTable::Instance().Size(), 0u);
    EXPECT_EQ(vsim_open_handles(), 0);
    std::printf("threads: %d workers x %d calls, %d open/close cycles alongside\n", kWorkers,
                kSteps, cycles);
}

// Each unit is closed while its worker keeps calling on it: every call
// either runs whole on the open converter (FT_OK) or is refused before any
// D2XX call (FT_INVALID_HANDLE), and each converter is closed exactly once.
TEST(Threads, CloseWhileCallsAreInFlight)
{
    vsim_set_log_capacity(0);  // every close is counted
    const std::vector<int> tokens = OpenWorkers();
    vsim_clear_log();
    std::vector<std::string> failures(kWorkers);
    std::array<std::atomic<int>, kWorkers> calls{};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            double values[VONTREL_READ_STATUS_ENTRIES];
            for (;;) {
                unsigned long status = 99;
                Vontrel_ReadStatus(&status, AsHandle(tokens[w]), values);
                if (status == FT_INVALID_HANDLE) {
                    return;
                }
                if (status != FT_OK) {
                    failures[w] = "status " + std::to_string(status);
                    return;
                }
                ++calls[w];
            }
        });
        threads.emplace_back([&, w] {
            while (calls[w] < w + 1) {  // let each worker get a few calls in first
                std::this_thread::yield();
            }
            EXPECT_EQ(Vontrel_Close(AsHandle(tokens[w])), 0);
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(failures[w], "") << "worker " << w;
    }
    std::map<int, int> closes;
    for (const vsim_call &c : SimLog()) {
        closes[c.converter] += std::string(c.function) == "FT_Close" ? 1 : 0;
    }
    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(closes[w], 1) << "unit " << w;
    }
    EXPECT_EQ(vsim_closed_handle_calls(), 0) << "a call reached a closed converter";
    EXPECT_EQ(vsim_open_handles(), 0);
}

}  // namespace
}  // namespace reliability

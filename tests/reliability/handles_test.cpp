// SPDX-License-Identifier: MIT
// Handles that are not open units, stale tokens, many open/close cycles,
// and a unit pulled out between a frame and its response.
#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <functional>
#include <random>
#include <set>

#include "tests/reliability/call_log.h"

namespace {

// Unplugs converter `unplug_unit` just before the `unplug_countdown`-th
// FT_Read from now: the frame has gone out, its response never comes.
std::atomic<int> unplug_unit{-1};
std::atomic<long> unplug_countdown{0};

}  // namespace

// Stands in front of the simulator's FT_Read (libvontrel.so takes its D2XX
// calls from the first library, or program, that defines them).
extern "C" FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD size, DWORD *received)
{
    using Read = FT_STATUS (*)(FT_HANDLE, void *, DWORD, DWORD *);
    static const auto next = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "FT_Read"));
    if (unplug_countdown > 0 && --unplug_countdown == 0) {
        vsim_unplug(unplug_unit);
    }
    return next(handle, buffer, size, received);
}

namespace reliability {
namespace {

// Each export but Vontrel_Open on one handle; the status it left, and
// whether every output stayed as it was (*LDstatus may become 0).
struct Call {
    const char *name;
    std::function<unsigned long(void *handle, bool *untouched)> run;
};

std::vector<Call> ExportsOnAHandle()
{
    const auto info = [](void *h, bool *untouched) {
        unsigned long status = 99;
        int sn = kUntouched;
        char frev[VONTREL_FREV_SIZE] = "-", hrev[1] = {'-'}, cal[VONTREL_CALDATE_SIZE] = "-",
             ifb[VONTREL_IFBAND_SIZE] = "-";
        const int result = Vontrel_ReadInfo(&status, h, &sn, frev, hrev, cal, ifb);
        *untouched = result == -1 && sn == kUntouched && frev[0] == '-' && hrev[0] == '-' &&
                     cal[0] == '-' && ifb[0] == '-';
        return status;
    };
    const auto ld = [](void *h, bool *untouched) {
        unsigned long status = 99;
        int ld = kUntouched;
        const int result = Vontrel_ReadLD(&status, h, &ld);
        *untouched = (result == -1 || result == 0) && ld == 0;
        return status;
    };
    const auto preset = [](void *h, bool *untouched) {
        unsigned long status = 99;
        Vontrel_Preset(&status, h);
        *untouched = true;
        return status;
    };
    const auto save = [](void *h, bool *untouched) {
        unsigned long status = 99;
        Vontrel_SaveUserPreset(&status, h);
        *untouched = true;
        return status;
    };
    const auto read_status = [](void *h, bool *untouched) {
        unsigned long status = 99;
        double values[VONTREL_READ_STATUS_ENTRIES] = {42};
        *untouched = Vontrel_ReadStatus(&status, h, values) == -1 && values[0] == 42;
        return status;
    };
    const auto write_status = [](void *h, bool *untouched) {
        unsigned long status = 99;
        double values[12] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
        Vontrel_WriteStatus(&status, h, values);
        *untouched = true;
        return status;
    };
    const auto close = [](void *h, bool *untouched) {
        *untouched = true;
        return static_cast<unsigned long>(Vontrel_Close(h));
    };
    return {{"ReadInfo", info},
            {"ReadLD", ld},
            {"Preset", preset},
            {"SaveUserPreset", save},
            {"ReadStatus", read_status},
            {"WriteStatus", write_status},
            {"Close", close}};
}

// Every export refuses `handle` with FT_INVALID_HANDLE, writes nothing and
// makes no D2XX call.
void ExpectRefused(void *handle, const std::string &what)
{
    for (const Call &c : ExportsOnAHandle()) {
        vsim_clear_log();
        bool untouched = false;
        EXPECT_EQ(c.run(handle, &untouched), FT_INVALID_HANDLE) << c.name << ", " << what;
        EXPECT_TRUE(untouched) << c.name << ", " << what;
        EXPECT_EQ(vsim_log_size(), 0u) << c.name << ", " << what << ": reached the converter";
    }
}

TEST(Handles, AnythingButAnOpenUnitIsRefused)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    const int a = OpenAll(1)[0];
    ASSERT_EQ(Vontrel_Close(AsHandle(a)), 0);
    ExpectRefused(AsHandle(a), "after Vontrel_Close");

    vsim_add_unit("Vontrel", 2);
    const std::vector<int> open = OpenAll(2);  // a new token for each unit
    ASSERT_NE(open[0], 0);
    ASSERT_NE(open[1], 0);
    EXPECT_NE(open[0], a);
    EXPECT_NE(open[1], a);
    ExpectRefused(AsHandle(a), "a closed token while others are open");

    std::vector<std::intptr_t> bad = {
        0, -1, INT_MAX, INT_MIN, std::intptr_t{1} << 32, std::intptr_t{INT_MAX} + 1};
    std::mt19937_64 random(6);
    for (int i = 0; i < 50; ++i) {
        const auto v = static_cast<std::intptr_t>(random());
        if (v != open[0] && v != open[1]) {
            bad.push_back(v);
        }
        const auto small = static_cast<std::intptr_t>(random() % 100000);
        if (small != open[0] && small != open[1]) {
            bad.push_back(small);
        }
    }
    for (const std::intptr_t v : bad) {
        ExpectRefused(reinterpret_cast<void *>(v), "handle " + std::to_string(v));
    }
    std::printf("handles refused: %zu values x %zu exports\n", bad.size() + 2,
                ExportsOnAHandle().size());
    for (int token : open) {
        unsigned long status = 99;
        int ld = kUntouched;
        EXPECT_EQ(Vontrel_ReadLD(&status, AsHandle(token), &ld), 0);
        EXPECT_EQ(status, FT_OK) << "a live token stopped working";
        EXPECT_EQ(Vontrel_Close(AsHandle(token)), 0);
    }
    EXPECT_EQ(vsim_open_handles(), 0);
}

// The table neither runs out nor hands out a token that is still, or was
// recently, in use.
TEST(Handles, TenThousandOpenCloseCycles)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    const int resident = OpenAll(1)[0];
    vsim_add_unit("Vontrel", 2);
    std::set<int> seen = {resident};
    for (int cycle = 0; cycle < 10000; ++cycle) {
        const int token = OpenAll(2)[1];
        ASSERT_GT(token, 0) << "cycle " << cycle;
        ASSERT_TRUE(seen.insert(token).second) << "token " << token << " handed out again";
        ASSERT_EQ(Vontrel_Close(AsHandle(token)), 0);
        ASSERT_EQ(Vontrel_Close(AsHandle(token)), static_cast<int>(FT_INVALID_HANDLE));
        if (cycle % 1000 == 0) {
            vsim_clear_log();
        }
    }
    unsigned long status = 99;
    int ld = 0;
    EXPECT_EQ(Vontrel_ReadLD(&status, AsHandle(resident), &ld), 0);
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(Vontrel_Close(AsHandle(resident)), 0);
    EXPECT_EQ(vsim_open_handles(), 0);
}

// Pulled out after the frame of the first exchange that expects an answer.
TEST(Unplug, BetweenAFrameAndItsResponse)
{
    for (const Call &c : ExportsOnAHandle()) {
        if (std::string(c.name) == "Close") {
            continue;
        }
        vsim_clear();
        const int unit = vsim_add_unit("Vontrel", 0x0ABC);
        const int token = OpenAll(1)[0];
        unplug_unit = unit;
        unplug_countdown = 1;
        bool untouched = false;
        EXPECT_EQ(c.run(AsHandle(token), &untouched), FT_IO_ERROR) << c.name;
        EXPECT_EQ(unplug_countdown, 0) << c.name << ": the unit was not pulled out";
        if (std::string(c.name) == "ReadInfo" || std::string(c.name) == "ReadLD") {
            EXPECT_TRUE(untouched) << c.name;
        }
        // Later calls fail cleanly; the token still closes.
        EXPECT_EQ(c.run(AsHandle(token), &untouched), FT_IO_ERROR) << c.name << ", again";
        EXPECT_EQ(Vontrel_Close(AsHandle(token)), 0) << c.name;
        ExpectRefused(AsHandle(token), std::string(c.name) + ", closed after unplugging");
        EXPECT_EQ(vsim_open_handles(), 0);

        // Back in: it opens again, with its serial number.
        vsim_plug(unit);
        unsigned long status = 99;
        int found = 0, handles[1] = {0}, serials[1] = {0};
        EXPECT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
        EXPECT_EQ(serials[0], 0x0ABC) << c.name;
        EXPECT_EQ(c.run(AsHandle(handles[0]), &untouched), FT_OK) << c.name << ", plugged back";
        EXPECT_EQ(Vontrel_Close(AsHandle(handles[0])), 0);
    }
}

// Pulled out while Vontrel_Open reads its serial number: counted, no entry,
// nothing left open.
TEST(Unplug, DuringOpen)
{
    for (long read = 1; read <= 2; ++read) {
        vsim_clear();
        const int unit = vsim_add_unit("Vontrel", 7);
        unplug_unit = unit;
        unplug_countdown = read;
        unsigned long status = 99;
        int found = kUntouched, handles[1] = {kUntouched}, serials[1] = {kUntouched};
        EXPECT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
        EXPECT_EQ(status, FT_IO_ERROR);
        EXPECT_EQ(found, 1);
        EXPECT_EQ(handles[0], kUntouched);
        EXPECT_EQ(serials[0], kUntouched);
        EXPECT_EQ(vsim_open_handles(), 0) << "serial read " << read;
    }
}

}  // namespace
}  // namespace reliability

// plugin/prefault.h -- Prefaulter, which brings a fresh block's pages in
// ahead of the decode.
//
// The pixel block of a large picture is fresh memory: the system maps each
// of its pages on the first write, one trip into the kernel per 4 KiB. For a
// picture that inflates fast, those trips cost as much as a third of the
// decode. A Prefaulter takes them on a thread of its own, running a little
// ahead of the decode (never more than PrefaultLead bytes, so a header that
// claims far more than the container holds does not make the whole claim
// resident), while the decode's thread goes on inflating.
//
// It writes nothing that changes a byte: each page is touched with an atomic
// compare-and-exchange of zero for zero, which faults the page in for writing
// and leaves whatever is there, even a value the decode is writing at that
// moment. Without a thread it does nothing, and the decode faults its own
// pages in as before.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

// Blocks smaller than this are not worth a thread.
constexpr uint32_t PrefaultLeast = 4u << 20;
// How far ahead of the decode the pages are brought in. Enough that the
// decode does not catch up while the thread sleeps: a sleep of "1 ms" lasts
// a whole timer tick, 15.6 ms, on a Windows that keeps the default, and a
// fast decode writes some 20 MB in that time.
constexpr uint32_t PrefaultLead = 32u << 20;

struct Prefaulter {
    Worker worker;
    uint8_t *start = nullptr;
    uint32_t size = 0;
    bool running = false;
    std::atomic<uint32_t> decoded{0}; // bytes the decode has written so far
    std::atomic<bool> stopping{false};
};

// Starts bringing in the pages of the size bytes at start, from the first,
// when the block is large enough to be worth it. The block must stay where it
// is until StopPrefaulter.
void StartPrefaulter(Prefaulter *prefaulter, uint8_t *start, uint32_t size);

// Tells how many bytes of the block the decode has written.
void NotePrefaultProgress(Prefaulter *prefaulter, uint32_t decoded);

// Stops and joins the thread, if one runs; afterwards the block may move or
// be freed. Safe to repeat.
void StopPrefaulter(Prefaulter *prefaulter);

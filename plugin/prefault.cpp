#include "plugin/prefault.h"

namespace {

constexpr uint32_t PageSize = 4096;

// Faults the page in for writing without changing it.
void TouchPage(uint8_t *page)
{
    uint32_t expected = 0;
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(page)).compare_exchange_strong(expected, 0);
}

void BringPagesIn(void *context)
{
    auto *prefaulter = static_cast<Prefaulter *>(context);
    for (uint32_t offset = 0; offset < prefaulter->size; offset += PageSize) {
        while (offset > uint64_t(prefaulter->decoded.load(std::memory_order_relaxed)) + PrefaultLead) {
            if (prefaulter->stopping.load(std::memory_order_relaxed))
                return;
            PauseWorker();
        }
        if (prefaulter->stopping.load(std::memory_order_relaxed))
            return;
        TouchPage(prefaulter->start + offset);
    }
}

} // namespace

void StartPrefaulter(Prefaulter *prefaulter, uint8_t *start, uint32_t size)
{
    StopPrefaulter(prefaulter);
    if (size < PrefaultLeast)
        return;
    prefaulter->start = start;
    prefaulter->size = size;
    prefaulter->decoded.store(0, std::memory_order_relaxed);
    prefaulter->stopping.store(false, std::memory_order_relaxed);
    prefaulter->running = StartWorker(&prefaulter->worker, BringPagesIn, prefaulter);
}

void NotePrefaultProgress(Prefaulter *prefaulter, uint32_t decoded)
{
    prefaulter->decoded.store(decoded, std::memory_order_relaxed);
}

void StopPrefaulter(Prefaulter *prefaulter)
{
    if (!prefaulter->running)
        return;
    prefaulter->stopping.store(true, std::memory_order_relaxed);
    JoinWorker(&prefaulter->worker);
    prefaulter->running = false;
}

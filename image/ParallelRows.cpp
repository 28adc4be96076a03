#include "image/ParallelRows.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Less work than this (some tenths of a millisecond) is not worth a part.
constexpr double kMinWorkPerPart = 1024.0 * 1024.0;
// Parts per thread: enough for the caller to take over a helper's share.
constexpr int kPartsPerThread = 4;

thread_local bool tSerial = false;

class RowPool {
public:
    static RowPool& Get() {
        static RowPool pool;
        return pool;
    }

    int Threads() const { return int(m_Workers.size()) + 1; }

    // One call at a time; false when another one (or this one, nested) runs.
    bool TryEnter() {
        bool expected = false;
        return m_Busy.compare_exchange_strong(expected, true);
    }
    void Leave() { m_Busy = false; }

    void Run(int count, int parts, const std::function<void(int, int)>& part) {
        std::unique_lock lock(m_Mutex);
        m_Job = &part;
        m_Count = count;
        m_Parts = parts;
        m_Next = 0;
        m_Error = nullptr;
        ++m_Generation;
        lock.unlock();
        m_Wake.notify_all();
        lock.lock();
        DoParts(lock);
        m_Done.wait(lock, [this] { return m_Running == 0; });
        m_Job = nullptr;
        const std::exception_ptr error = m_Error;
        lock.unlock();
        if (error) std::rethrow_exception(error);
    }

private:
    RowPool() {
        const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        for (unsigned i = 1; i < cores; ++i) m_Workers.emplace_back([this] { Work(); });
    }
    ~RowPool() {
        {
            std::lock_guard lock(m_Mutex);
            m_Stop = true;
        }
        m_Wake.notify_all();
        for (std::thread& t : m_Workers) t.join();
    }

    // Takes parts until none is left; called and returning with the lock held.
    void DoParts(std::unique_lock<std::mutex>& lock) {
        while (m_Job && m_Next < m_Parts) {
            const int index = m_Next++;
            ++m_Running;
            const auto* job = m_Job;
            const int from = int(int64_t(m_Count) * index / m_Parts), to = int(int64_t(m_Count) * (index + 1) / m_Parts);
            lock.unlock();
            std::exception_ptr error;
            try {
                (*job)(from, to);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !m_Error) m_Error = error;
            if (--m_Running == 0 && m_Next == m_Parts) m_Done.notify_all();
        }
    }

    void Work() {
        uint64_t seen = 0;
        std::unique_lock lock(m_Mutex);
        for (;;) {
            m_Wake.wait(lock, [&] { return m_Stop || m_Generation != seen; });
            if (m_Stop) return;
            seen = m_Generation;
            DoParts(lock);
        }
    }

    std::atomic<bool> m_Busy{false};
    std::mutex m_Mutex;
    std::condition_variable m_Wake, m_Done;
    const std::function<void(int, int)>* m_Job = nullptr;
    int m_Count = 0, m_Parts = 0, m_Next = 0, m_Running = 0;
    uint64_t m_Generation = 0;
    std::exception_ptr m_Error;
    bool m_Stop = false;
    std::vector<std::thread> m_Workers;
};

}  // namespace

void ParallelRows(int count, double costPerRow, const std::function<void(int from, int to)>& part) {
    if (count <= 0) return;
    const double work = double(count) * std::max(costPerRow, 0.0);
    int parts = int(std::min<double>(count, work / kMinWorkPerPart));
    if (!tSerial && parts >= 2) {
        RowPool& pool = RowPool::Get();
        parts = std::min(parts, pool.Threads() * kPartsPerThread);
        if (pool.Threads() >= 2 && pool.TryEnter()) {
            struct Leave {
                RowPool& pool;
                ~Leave() { pool.Leave(); }
            } leave{pool};
            pool.Run(count, parts, part);
            return;
        }
    }
    part(0, count);
}

SerialRows::SerialRows() : m_Outer(tSerial) { tSerial = true; }
SerialRows::~SerialRows() { tSerial = m_Outer; }

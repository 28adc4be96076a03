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

// Less work than this (some tenths of a millisecond) is not worth waking a
// thread for.
constexpr double kMinWorkPerPart = 1024.0 * 1024.0;

std::atomic<int> gPartLimit{8};

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

    // Part 0 on the caller, parts 1.. on the workers; back when all are done.
    void Run(int count, int parts, const std::function<void(int, int)>& part) {
        {
            std::lock_guard lock(m_Mutex);
            m_Job = &part;
            m_Count = count;
            m_Parts = parts;
            m_Pending = parts - 1;
            m_Error = nullptr;
            ++m_Generation;
        }
        m_Wake.notify_all();
        std::exception_ptr error;
        try {
            part(0, Bound(count, parts, 1));
        } catch (...) {
            error = std::current_exception();
        }
        std::unique_lock lock(m_Mutex);
        m_Done.wait(lock, [this] { return m_Pending == 0; });
        m_Job = nullptr;
        if (!error) error = m_Error;
        lock.unlock();
        if (error) std::rethrow_exception(error);
    }

private:
    RowPool() {
        const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        for (unsigned i = 1; i < cores; ++i) m_Workers.emplace_back([this, i] { Work(int(i)); });
    }
    ~RowPool() {
        {
            std::lock_guard lock(m_Mutex);
            m_Stop = true;
        }
        m_Wake.notify_all();
        for (std::thread& t : m_Workers) t.join();
    }

    static int Bound(int count, int parts, int index) { return int(int64_t(count) * index / parts); }

    void Work(int index) {
        uint64_t seen = 0;
        std::unique_lock lock(m_Mutex);
        for (;;) {
            m_Wake.wait(lock, [&] { return m_Stop || m_Generation != seen; });
            if (m_Stop) return;
            seen = m_Generation;
            if (index >= m_Parts) continue;
            const auto* job = m_Job;
            const int from = Bound(m_Count, m_Parts, index), to = Bound(m_Count, m_Parts, index + 1);
            lock.unlock();
            std::exception_ptr error;
            try {
                (*job)(from, to);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !m_Error) m_Error = error;
            if (--m_Pending == 0) m_Done.notify_one();
        }
    }

    std::atomic<bool> m_Busy{false};
    std::mutex m_Mutex;
    std::condition_variable m_Wake, m_Done;
    const std::function<void(int, int)>* m_Job = nullptr;
    int m_Count = 0, m_Parts = 0, m_Pending = 0;
    uint64_t m_Generation = 0;
    std::exception_ptr m_Error;
    bool m_Stop = false;
    std::vector<std::thread> m_Workers;
};

}  // namespace

void ParallelRows(int count, double costPerRow, const std::function<void(int from, int to)>& part) {
    if (count <= 0) return;
    const double work = double(count) * std::max(costPerRow, 0.0);
    int parts = int(std::min<double>({double(count), work / kMinWorkPerPart, double(gPartLimit.load())}));
    if (parts >= 2) {
        RowPool& pool = RowPool::Get();
        parts = std::min(parts, pool.Threads());
        if (parts >= 2 && pool.TryEnter()) {
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

void SetParallelRowsLimit(int parts) { gPartLimit = std::max(parts, 1); }

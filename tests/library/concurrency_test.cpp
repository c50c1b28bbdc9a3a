// Several application threads on one device: queued readers, an immediate
// reader and writers on both pipes, while the device keeps reporting.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "library_world.h"

namespace {

class ConcurrencyTest : public LibraryTest {};

TEST_F(ConcurrencyTest, EveryReportReachesAtMostOneConsumerInOrder) {
    auto world = MakeWorld(1);
    world->device[0].chip_model = 0;  // writes do not produce reports
    Install(*world);
    PdxKitHandle handle = Open();
    ASSERT_EQ(1, PdxKitSetTimeout(handle, 20));

    constexpr uint32_t kReports = 3000;
    constexpr int kQueuedReaders = 3;
    std::atomic<bool> sending_done{false};
    std::vector<std::vector<uint32_t>> taken(kQueuedReaders + 1);
    std::vector<std::thread> threads;

    for (int r = 0; r < kQueuedReaders; ++r) {
        threads.emplace_back([&, r] {
            uint8_t buffer[10];
            for (;;) {
                const uint32_t bytes = PdxKitRead(handle, 0, buffer, r == 0 ? 10 : 5);
                for (uint32_t offset = 0; offset + 5 <= bytes; offset += 5)
                    taken[r].push_back(PinValue(buffer + offset));
                if (bytes == 0 && sending_done) break;
            }
        });
    }
    threads.emplace_back([&] {
        uint32_t value = 0;
        for (;;) {
            if (PdxKitReadImmediate(handle, &value)) {
                taken[kQueuedReaders].push_back(value);
            } else if (sending_done) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::atomic<int> failed_writes{0};
    for (int pipe = 0; pipe < 2; ++pipe) {
        threads.emplace_back([&, pipe] {
            uint8_t report[65] = {0, static_cast<uint8_t>(pipe)};
            // At least one write each, however the threads are scheduled.
            do {
                if (PdxKitWrite(handle, pipe, report, pipe == 0 ? 5 : 65) == 0) ++failed_writes;
            } while (!sending_done);
        });
    }

    // Sequence numbers 1..kReports. A report that finds the reader's handle
    // buffer full is dropped there, as a HID driver does; it reaches nobody.
    uint32_t delivered = 0;
    for (uint32_t k = 1; k <= kReports; ++k) {
        if (SendPins(0, k) >= 1) {
            ++delivered;
        } else {
            std::this_thread::yield();
        }
        if (k % 64 == 0) std::this_thread::yield();
    }
    // Queued readers end once nothing has come within their timeout.
    sending_done = true;
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(0, failed_writes.load());
    std::set<uint32_t> seen;
    size_t total = 0;
    for (size_t consumer = 0; consumer < taken.size(); ++consumer) {
        const std::vector<uint32_t>& values = taken[consumer];
        EXPECT_TRUE(std::is_sorted(values.begin(), values.end()) &&
                    std::adjacent_find(values.begin(), values.end()) == values.end())
            << "consumer " << consumer << " saw reports out of order";
        for (uint32_t value : values) {
            EXPECT_TRUE(value >= 1 && value <= kReports) << value;
            EXPECT_TRUE(seen.insert(value).second) << "report " << value << " taken twice";
        }
        total += values.size();
    }
    EXPECT_GT(total, 0u);
    EXPECT_LE(total, delivered);
    EXPECT_GT(pdxsim_write_count(0, 0), 0u);
    EXPECT_GT(pdxsim_write_count(0, 1), 0u);
}

TEST_F(ConcurrencyTest, ReadersOfSeveralDevicesDoNotInterfere) {
    constexpr int kDevices = 3;
    OpenDefault(kDevices);
    std::vector<std::thread> readers;
    std::vector<std::vector<uint32_t>> got(kDevices);
    for (int d = 0; d < kDevices; ++d) {
        readers.emplace_back([&, d] {
            PdxKitHandle handle = PdxKitGetDeviceHandle(d + 1);
            uint8_t buffer[5];
            while (got[d].size() < 4) {
                if (PdxKitRead(handle, 0, buffer, 5) == 5) got[d].push_back(PinValue(buffer));
            }
        });
    }
    for (uint32_t k = 1; k <= 4; ++k) {
        for (int d = 0; d < kDevices; ++d) ASSERT_LE(1, SendPins(d, d * 100 + k));
    }
    for (auto& reader : readers) reader.join();
    for (int d = 0; d < kDevices; ++d) {
        EXPECT_EQ((std::vector<uint32_t>{d * 100u + 1, d * 100u + 2, d * 100u + 3, d * 100u + 4}), got[d]);
    }
}

}  // namespace

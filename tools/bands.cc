// bands.cc: rounds of bands, each band made on a thread of its own.
#include "bands.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace image_io::detail {

int bands_at_once(int threads, int bands) {
    return std::min(bands, threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())));
}

std::string in_bands(int bands, int at_once, const std::function<void(int, int)> &make,
                     const std::function<std::string(int, int)> &emit) {
    std::vector<std::thread> workers;
    workers.reserve(at_once);
    for (int first = 0; first < bands; first += at_once) {
        const int count = std::min(at_once, bands - first);
        for (int k = 0; k < count; ++k) {
            auto job = [&make, first, k] {
                try {
                    make(first + k, k);
                } catch (const std::bad_alloc &) {
                }
            };
            if (k + 1 < count) {
                try {
                    workers.emplace_back(job);
                } catch (const std::system_error &) {
                    job();  // no thread to be had: run it here
                }
            } else {
                job();
            }
        }
        for (std::thread &w : workers) w.join();
        workers.clear();
        for (int k = 0; k < count; ++k) {
            std::string message = emit(first + k, k);
            if (!message.empty()) return message;
        }
    }
    return "";
}

}  // namespace image_io::detail

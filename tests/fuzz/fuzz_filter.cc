// Catches what the differential suite catches, on cases a coverage-guided fuzzer steers to: the bytes
// choose the variant and the guard side, then decode through the shared generator.
#include <cstdio>
#include <cstdlib>

#include "support/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace bilateral_test;
    ByteChoices choices(data, size);
    const std::vector<Variant> variants = all_variants();
    const Variant v = variants[choices.below(static_cast<uint32_t>(variants.size()))];
    const Guard guard = choices.below(2) ? Guard::before : Guard::after;
    Trial t = random_trial(choices, v, guard, "fuzz input");
    const testing::AssertionResult result = matches_oracle(t);
    if (!result) {
        std::fprintf(stderr, "mismatch: %s\n", result.message());
        std::abort();
    }
    return 0;
}

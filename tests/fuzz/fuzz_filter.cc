// Catches what the differential suite catches, on cases a coverage-guided fuzzer steers to: the bytes
// choose the entry point (one of the eighteen or the _rounded ones) and the guard side, then decode
// through the shared generator.
#include <cstdio>
#include <cstdlib>

#include "support/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace bilateral_test;
    ByteChoices choices(data, size);
    const std::vector<Variant> variants = all_variants(), rounded = rounded_variants();
    const uint32_t pick = choices.below(static_cast<uint32_t>(variants.size() + rounded.size()));
    const bool round = pick >= variants.size();
    const Variant v = round ? rounded[pick - variants.size()] : variants[pick];
    const Guard guard = choices.below(2) ? Guard::before : Guard::after;
    Trial t = random_trial(choices, v, guard, "fuzz input", round);
    const testing::AssertionResult result = matches_oracle(t);
    if (!result) {
        std::fprintf(stderr, "mismatch: %s\n", result.message());
        std::abort();
    }
    return 0;
}

// Catches what the differential suite catches, on cases a coverage-guided fuzzer steers to: the bytes
// choose the entry point (one of the eighteen, the _rounded ones, or a joint one with the input's and
// the guide's layout and type) and the guard side, then decode through the shared generator.
#include <cstdio>
#include <cstdlib>

#include "support/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace bilateral_test;
    ByteChoices choices(data, size);
    const std::vector<Variant> variants = all_variants(), rounded = rounded_variants();
    const uint32_t named = static_cast<uint32_t>(variants.size() + rounded.size());
    const uint32_t pick = choices.below(named + 2);  // the last two: joint, truncating or rounding
    const bool joint = pick >= named, round = joint ? pick == named + 1 : pick >= variants.size();
    const Guard guard = choices.below(2) ? Guard::before : Guard::after;
    Trial t = [&] {
        if (!joint) return random_trial(choices, round ? rounded[pick - variants.size()] : variants[pick], guard, "fuzz input", round);
        const Variant v = variants[choices.below(static_cast<uint32_t>(variants.size()))];
        const Layout guide_layout = choices.below(2) ? Layout::rgb : Layout::gray;
        const Sample guide_sample = Sample(choices.below(3));
        return random_joint_trial(choices, v, guide_layout, guide_sample, guard, "fuzz input", round);
    }();
    const testing::AssertionResult result = matches_oracle(t);
    if (!result) {
        std::fprintf(stderr, "mismatch: %s\n", result.message());
        std::abort();
    }
    return 0;
}

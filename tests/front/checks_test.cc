// Catches front-end checks that let through what the library would turn into
// garbage or an exhausted machine (a range term that underflows, weights whose
// sums overflow, pad values the integer types cannot hold, windows no image
// can use), and warnings that do not fire or fire on sane calls.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "front/checks.h"
#include "front/defaults.h"

namespace {

using namespace bilateral::front;

TEST(FrontChecks, RefusalsNameTheProblem) {
    const std::vector<float> ok = gaussian_weights(3, 1);
    const std::vector<float> negative = {1, -1, 1, 1}, zero = {0, 0, 0, 0}, huge = {3e38f, 1, 1, 1},
                             nan = {1, NAN, 1, 1};
    const struct {
        Refusal r;
        const char *text;  // "" when accepted
    } cases[] = {
        {check_window_size(16384), ""},
        {check_window_size(16385), "for its weights alone"},
        {check_window_size(0), "at least 1"},
        {check_sigma_range(25.5), ""},
        {check_sigma_range(1e-22), ""},  // 2e-44 is a float32 subnormal: every weight still defined
        {check_sigma_range(1e-23), "too small: 2 sigma^2 is 0"},
        {check_sigma_range(1e20), "overflows"},
        {check_sigma_range(0), "positive finite"},
        {check_sigma_range(NAN), "positive finite"},
        {check_weights(ok.data(), 9), ""},
        {check_weights(negative.data(), 4), "negative"},
        {check_weights(zero.data(), 4), "sum to zero"},
        {check_weights(huge.data(), 4), "too large"},
        {check_weights(nan.data(), 4), "finite"},
        {check_pad_value(255, Sample::u8), ""},
        {check_pad_value(256, Sample::u8), "0..255"},
        {check_pad_value(-1, Sample::u16), "0..65535"},
        {check_pad_value(70000, Sample::u16), "0..65535"},
        {check_pad_value(-0.5, Sample::f32), ""},
        {check_pad_value(1e39, Sample::f32), "float32's range"},
        {check_pad_value(INFINITY, Sample::f32), "finite"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bool(c.r), *c.text != 0) << c.text << ": " << c.r.text;
        EXPECT_NE(c.r.text.find(c.text), std::string::npos) << c.r.text;
        EXPECT_EQ(c.r.text.find('\n'), std::string::npos) << "one line: " << c.r.text;
    }
}

Call call_of(Layout layout, Sample sample, int64_t w, int64_t h, int window, double sigma, int threads = 1) {
    Call c;
    c.v = {layout, sample, Padding::replicate};
    c.width = w;
    c.height = h;
    c.channels = layout == Layout::rgb ? 3 : 1;
    c.window = window;
    c.sigma_range = sigma;
    c.threads = threads;
    return c;
}

Call joint_of(Layout layout, Sample sample, Layout guide_layout, Sample guide_sample, double sigma, double pad = 0) {
    Call c = call_of(layout, sample, 640, 480, 5, sigma);
    c.guide = Guide{guide_layout, guide_sample, guide_layout == Layout::rgb ? 3 : 1, false};
    c.v.padding = Padding::constant;
    c.pad_value = pad;
    return c;
}

TEST(FrontChecks, CallsAreJudgedAgainstImageMemoryAndUnits) {
    const struct {
        Call call;
        Refusal::Kind kind;
        const char *text;  // in the refusal, or in a warning; "" for neither
    } cases[] = {
        {call_of(Layout::rgb, Sample::u8, 640, 480, 5, 25.5), Refusal::Kind::none, ""},
        {call_of(Layout::gray, Sample::u8, 10, 3, 22, 25.5), Refusal::Kind::argument, "at most 2*max(width, height)+1 = 21"},
        {call_of(Layout::gray, Sample::u8, 10, 3, 21, 1e-30), Refusal::Kind::argument, "too small"},
        // About 84 bytes a tap of scratch on each of 4096 workers: far beyond any machine.
        {call_of(Layout::rgb, Sample::f32, 16384, 16384, 16384, 0.1, 4096), Refusal::Kind::memory, "would need about"},
        {call_of(Layout::gray, Sample::u8, 64, 64, 5, 0.1), Refusal::Kind::none, "below one level of 8-bit samples"},
        {call_of(Layout::rgb, Sample::u8, 64, 64, 5, 300), Refusal::Kind::none, "exceeds the 8-bit range"},
        {call_of(Layout::gray, Sample::u16, 64, 64, 5, 0.5), Refusal::Kind::none, "16-bit samples"},
        {call_of(Layout::gray, Sample::u8, 512, 512, 1025, 25.5), Refusal::Kind::none, "this will take long"},
        // Joint calls: the range sigma in the guide's units, the pad value fit for both images.
        {joint_of(Layout::gray, Sample::u16, Layout::rgb, Sample::u8, 25.5), Refusal::Kind::none, ""},
        {joint_of(Layout::gray, Sample::u16, Layout::rgb, Sample::u8, 6553.5), Refusal::Kind::none, "exceeds the 8-bit range 0..255 of the guide samples"},
        {joint_of(Layout::rgb, Sample::u8, Layout::gray, Sample::u16, 0.5), Refusal::Kind::none, "below one level of 16-bit guide samples"},
        {joint_of(Layout::gray, Sample::u16, Layout::gray, Sample::u8, 25.5, 300), Refusal::Kind::argument, "0..255"},
    };
    for (const auto &c : cases) {
        const Verdict v = check_call(c.call);
        std::string all = v.refusal.text;
        for (const std::string &w : v.warnings) all += " | " + w;
        EXPECT_EQ(v.refusal.kind, c.kind) << all;
        EXPECT_NE(all.find(c.text), std::string::npos) << c.text << " in: " << all;
        if (*c.text == 0) {
            EXPECT_TRUE(v.warnings.empty()) << all;
        }
    }
    Call floats = call_of(Layout::gray, Sample::f32, 64, 64, 5, 2);
    floats.unit_range = true;
    EXPECT_EQ(check_call(floats).warnings.size(), 1u) << "a range sigma of 2 for samples in 0..1";
    floats.guide = Guide{Layout::gray, Sample::u8, 1, false};
    EXPECT_EQ(check_call(floats).warnings.size(), 0u) << "a range sigma of 2 for an 8-bit guide";
    // The guide's staged planes count: four float channels beside a gray 8-bit input take more than it alone.
    Call plain = call_of(Layout::gray, Sample::u8, 4000, 3000, 31, 25.5, 2), joint = plain;
    joint.guide = Guide{Layout::rgb, Sample::f32, 4, true};
    EXPECT_GT(library_bytes(joint), 2 * library_bytes(plain));
}

}  // namespace
